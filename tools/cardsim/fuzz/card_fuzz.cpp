// Feeds arbitrary command APDUs to a card of each family: every answer must end in a status
// word and stay within a short response. The first input byte picks the family; the rest is
// split into APDUs at 0xFF 0xFF markers, so one input runs a whole session.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "cardsim/card.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // In memory: saving the image after every write would bound the fuzzer
    // to the pace of the disk; the image format has a fuzzer of its own.
    cardsim::CardImage image;
    image.family = static_cast<cardsim::Family>(data[0] % 3);
    cardsim::Card card(std::move(image));
    for (std::size_t start = 1, i = 1; i <= size; ++i) {
        if (i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFF)) {
            const cardsim::Bytes r = card.Transmit(std::span(data + start, i - start));
            if (r.size() < 2 || r.size() > 258) {
                std::abort();
            }
            start = ++i + 1;
        }
    }
    return 0;
}
