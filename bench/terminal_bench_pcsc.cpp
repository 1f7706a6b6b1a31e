#include "terminal_bench_pcsc.h"

#include <winscard.h>

#include <vector>

namespace mlbench {

struct DirectPcscReader::Impl {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    bool connected = false;
};

DirectPcscReader::DirectPcscReader(const std::string& reader) : impl_(std::make_unique<Impl>()) {
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &impl_->context) !=
        SCARD_S_SUCCESS) {
        impl_->context = 0;
        return;
    }
    impl_->connected = SCardConnect(impl_->context, reader.c_str(), SCARD_SHARE_SHARED,
                                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &impl_->card,
                                    &impl_->protocol) == SCARD_S_SUCCESS;
}

DirectPcscReader::~DirectPcscReader() {
    if (impl_->connected) {
        SCardDisconnect(impl_->card, SCARD_LEAVE_CARD);
    }
    if (impl_->context != 0) {
        SCardReleaseContext(impl_->context);
    }
}

bool DirectPcscReader::Connected() const {
    return impl_->connected;
}

bool DirectPcscReader::ReadFiles() {
    static const std::vector<std::vector<BYTE>> kApdus = {
        {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11}, {0x00, 0xB0, 0x00, 0x00, 0x2A},
        {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x22}, {0x00, 0xB0, 0x00, 0x00, 0x20},
        {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x33}, {0x00, 0xB0, 0x00, 0x00, 0x64}};
    const SCARD_IO_REQUEST* pci =
        impl_->protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    BYTE response[500];
    for (const auto& apdu : kApdus) {
        DWORD length = sizeof response;
        if (SCardTransmit(impl_->card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                          response, &length) != SCARD_S_SUCCESS ||
            length < 2 || response[length - 2] != 0x90 || response[length - 1] != 0x00) {
            return false;
        }
    }
    return true;
}

}  // namespace mlbench
