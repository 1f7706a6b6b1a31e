// The reader list for tools (platform/scard.h) on winscard.dll.
#include "platform/scard.h"
#include "platform/win32/winscard_calls.h"

namespace ml {

LONG ListReaders(std::vector<ReaderPresence>& readers) {
    readers.clear();
    uintptr_t context = 0;
    LONG rc = winscard::EstablishContext(SCARD_SCOPE_SYSTEM, &context);
    if (rc != SCARD_S_SUCCESS)
        return rc;
    uint32_t length = 0;
    rc = winscard::ListReaders(context, nullptr, &length);
    std::u16string names;
    if (rc == SCARD_S_SUCCESS && length > 0) {
        names.resize(length);
        rc = winscard::ListReaders(context, names.data(), &length);
        names.resize(rc == SCARD_S_SUCCESS && length <= names.size() ? length : 0);
    }
    if (rc == SCARD_E_NO_READERS_AVAILABLE) {
        names.clear();
        rc = SCARD_S_SUCCESS;
    }
    for (size_t start = 0; start < names.size();) {
        size_t end = names.find(u'\0', start);
        if (end == std::u16string::npos)
            end = names.size();
        if (end > start) {
            ReaderPresence reader;
            reader.name = names.substr(start, end - start);
            winscard::CardPresent(context, reader.name.c_str(), &reader.card);
            readers.push_back(std::move(reader));
        }
        start = end + 1;
    }
    winscard::ReleaseContext(context);
    return rc;
}

}  // namespace ml
