// Feeds arbitrary command APDUs to a card of each family: every answer must end in a status
// word and stay within a short response. The first input byte picks the family; the rest is
// split into APDUs at 0xFF 0xFF markers, so one input runs a whole session.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "cardsim/card.h"

namespace {

std::string ImagePath() {
    static const std::string path = [] {
        char tmpl[] = "/tmp/cardsim-fuzz-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            std::abort();
        }
        return std::string(tmpl) + "/card.img";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto family = static_cast<cardsim::Family>(data[0] % 3);
    ::unlink(ImagePath().c_str());
    cardsim::Card card(family, ImagePath());
    std::size_t start = 1;
    for (std::size_t i = 1; i <= size; ++i) {
        const bool marker = i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFF;
        if (i == size || marker) {
            const cardsim::Bytes r =
                card.Transmit(std::span<const std::uint8_t>(data + start, i - start));
            if (r.size() < 2 || r.size() > 258) {
                std::abort();
            }
            start = i + 2;
            ++i;
        }
    }
    return 0;
}
