// The reader list for tools (platform/scard.h).
#include "platform/posix/pcsclite_calls.h"
#include "platform/posix/scard_names.h"
#include "platform/scard.h"

namespace ml {

LONG ListReaders(std::vector<ReaderPresence>& readers) {
    readers.clear();
    std::vector<std::pair<std::string, bool>> found;
    LONG rc = pcsclite::ListReaders(found);
    for (const auto& [name, card] : found) {
        ReaderPresence reader;
        reader.name.resize(ReaderNameFromUtf8(name.data(), name.size(), nullptr, 0));
        ReaderNameFromUtf8(name.data(), name.size(), reader.name.data(), reader.name.size());
        reader.card = card;
        readers.push_back(std::move(reader));
    }
    return rc;
}

}  // namespace ml
