// Parses arbitrary image text: it is refused with ImageError or accepted, and an accepted
// image formats back to text that parses to the same image.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cardsim/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const cardsim::CardImage image = cardsim::ParseImage(text, "fuzz");
        if (!(cardsim::ParseImage(cardsim::FormatImage(image), "again") == image)) {
            std::abort();
        }
    } catch (const cardsim::ImageError&) {
    }
    return 0;
}
