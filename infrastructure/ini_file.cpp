#include "infrastructure/ini_file.h"

#include <cstring>

#include "infrastructure/ini_file_internal.h"
#include "infrastructure/trace.h"
#include "platform/file.h"
#include "platform/handle.h"

namespace {

// Settings files are a few lines; what lies beyond this is not read, so a
// huge file cannot hold the settings lock for long or exhaust memory.
constexpr size_t kMaxFileBytes = 1u << 20;

constexpr char16_t Fold(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

// Each byte is one character U+0000..U+00FF.
std::u16string Widen(std::string_view bytes) {
    std::u16string text(bytes.size(), u'\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        text[i] = static_cast<unsigned char>(bytes[i]);
    }
    return text;
}

const std::vector<std::u16string>& EmptyList() {
    static const std::vector<std::u16string> empty;
    return empty;
}

}  // namespace

// Turns lines into sections, keys and comments. Bytes may arrive in pieces of
// any size; a line split between two pieces is joined before it is handled.
class CIniFile::Parser {
  public:
    explicit Parser(CIniFile& ini) : ini_(ini), current_(ini.FindSection(u"")) {}

    // False once a line has ended the read.
    bool Feed(const char* data, size_t size) {
        while (!stopped_ && size > 0) {
            const char* lf = static_cast<const char*>(std::memchr(data, '\n', size));
            if (lf == nullptr) {
                pending_.append(data, size);
                // A line that will end the read ends it now, so that a file
                // without line feeds (a device, a binary) is not held whole.
                if (FirstCharacterFails(pending_)) {
                    stopped_ = true;
                }
                break;
            }
            size_t length = static_cast<size_t>(lf - data);
            if (pending_.empty()) {
                HandleLine(std::string_view(data, length));
            } else {
                pending_.append(data, length);
                HandleLine(pending_);
                pending_.clear();
            }
            data += length + 1;
            size -= length + 1;
        }
        return !stopped_;
    }

    // Handles a last line without LF; false when the read was ended by a line.
    bool Finish() {
        if (!stopped_ && !pending_.empty()) {
            HandleLine(pending_);
            pending_.clear();
        }
        return !stopped_;
    }

  private:
    static bool IsPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

    // True when the line that starts `text` cannot pass the first-character
    // test, whatever follows (a lone CR may still be an empty line).
    static bool FirstCharacterFails(std::string_view text) {
        unsigned char first = static_cast<unsigned char>(text[0]);
        return !IsPrintable(first) && !(first == '\r' && text.size() == 1);
    }

    void HandleLine(std::string_view line) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            return;
        }
        if (!IsPrintable(static_cast<unsigned char>(line[0]))) {
            stopped_ = true;
            return;
        }
        size_t pos = 0;
        while (pos < line.size()) {
            char c = line[pos];
            if (c == ';' || c == '#' || c == '[' || c == '=') {
                break;
            }
            ++pos;
        }
        if (pos == line.size()) {
            return;
        }
        switch (line[pos]) {
            case '=':
                StoreKey(line.substr(0, pos), line.substr(pos + 1));
                break;
            case '[': {
                size_t close = line.rfind(']');
                if (close != std::string_view::npos && close > pos) {
                    std::u16string name = Widen(line.substr(pos + 1, close - pos - 1));
                    ini_.AddSection(name);
                    current_ = ini_.FindSection(name);
                }
                break;
            }
            default:
                StoreComment(Widen(line.substr(pos + 1)));
                break;
        }
    }

    // As SetValue of the current section with creation allowed; current_ is
    // always FindSection of the current name, so no search is needed.
    void StoreKey(std::string_view key, std::string_view value) {
        if (current_ == noID) {
            current_ = ini_.AddSection(std::u16string());
        }
        Section& section = ini_.m_sections[static_cast<size_t>(current_)];
        std::u16string name = Widen(key);
        const int next = static_cast<int>(section.keys.size());
        const int found =
            section.keyIndex.FindOrAdd(name, next, section.keys, ini_.m_bCaseInsensitive);
        if (found != next) {
            section.values[static_cast<size_t>(found)] = Widen(value);
            return;
        }
        section.keys.push_back(std::move(name));
        section.values.push_back(Widen(value));
    }

    void StoreComment(std::u16string text) {
        if (ini_.m_sections.empty()) {
            ini_.AddHeaderComment(text);
        } else if (current_ != noID) {
            ini_.m_sections[static_cast<size_t>(current_)].comments.push_back(std::move(text));
        }
    }

    CIniFile& ini_;
    int current_;  // first section of the current name, noID while it does not exist
    std::string pending_;
    bool stopped_ = false;
};

namespace ml_ini_detail {

namespace {

uint32_t HashName(std::u16string_view text, bool fold) {
    uint64_t hash = 1469598103934665603ull;
    for (char16_t c : text) {
        hash ^= fold ? Fold(c) : c;
        hash *= 1099511628211ull;
    }
    hash ^= hash >> 29;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

bool SameName(std::u16string_view a, std::u16string_view b, bool fold) {
    if (a.size() != b.size()) {
        return false;
    }
    if (!fold) {
        return a == b;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

size_t NameIndex::Probe(uint32_t hash, std::u16string_view name,
                        const std::vector<std::u16string>& names, bool fold) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.position < 0 ||
            (slot.hash == hash &&
             SameName(names[static_cast<size_t>(slot.position)], name, fold))) {
            return i;
        }
    }
}

int NameIndex::Find(std::u16string_view name, const std::vector<std::u16string>& names,
                    bool fold) const {
    if (count_ == 0) {
        return -1;
    }
    return slots_[Probe(HashName(name, fold), name, names, fold)].position;
}

int NameIndex::FindOrAdd(std::u16string_view name, int position,
                         const std::vector<std::u16string>& names, bool fold) {
    if ((count_ + 1) * 2 > slots_.size()) {
        Grow();
    }
    const uint32_t hash = HashName(name, fold);
    Slot& slot = slots_[Probe(hash, name, names, fold)];
    if (slot.position >= 0) {
        return slot.position;
    }
    slot = Slot{hash, position};
    ++count_;
    return position;
}

void NameIndex::Clear() {
    slots_.clear();
    count_ = 0;
}

void NameIndex::Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{0, -1});
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.position >= 0) {
            size_t i = slot.hash & mask;
            while (slots_[i].position >= 0) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }
}

}  // namespace ml_ini_detail

CIniFile::CIniFile()
    : m_bCaseInsensitive(true), m_pSectionIndex(std::make_unique<ml_ini_detail::NameIndex>()) {}

CIniFile::CIniFile(CIniFile&& p_other) noexcept = default;

CIniFile& CIniFile::operator=(CIniFile&& p_other) noexcept = default;

CIniFile::~CIniFile() = default;

void CIniFile::RebuildIndexes() {
    m_pSectionIndex->Clear();
    for (size_t i = 0; i < m_sectionNames.size(); ++i) {
        m_pSectionIndex->FindOrAdd(m_sectionNames[i], static_cast<int>(i), m_sectionNames,
                                   m_bCaseInsensitive);
    }
    for (Section& section : m_sections) {
        section.keyIndex.Clear();
        for (size_t i = 0; i < section.keys.size(); ++i) {
            section.keyIndex.FindOrAdd(section.keys[i], static_cast<int>(i), section.keys,
                                       m_bCaseInsensitive);
        }
    }
}

void CIniFile::SetPath(const std::u16string& p_strPath, bool p_bCaseSensitive) {
    m_strPath = p_strPath;
    if (m_bCaseInsensitive != !p_bCaseSensitive) {
        m_bCaseInsensitive = !p_bCaseSensitive;
        RebuildIndexes();
    }
}

bool CIniFile::ReadFile() {
    HANDLE file = CreateFileW(m_strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    Parser parser(*this);
    std::vector<char> buffer(1 << 16);
    bool complete = true;
    bool cut = false;
    size_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            complete = false;
            break;
        }
        if (got == 0) {
            break;
        }
        if (total + got > kMaxFileBytes) {
            got = static_cast<DWORD>(kMaxFileBytes - total);
            cut = true;
        }
        total += got;
        if (!parser.Feed(buffer.data(), got) || cut) {
            break;
        }
    }
    CloseHandle(file);
    if (cut) {
        Trace(u"CIniFile::ReadFile()", FALSE, TRUE,
              {TraceParam(u"szINIFile", 3, u"[ERROR]", m_strPath),
               TraceParam(u"", 3, u"[ERROR]", u"File larger than 1 MiB; the rest is ignored")});
    }
    bool ok = parser.Finish();
    return complete && ok && !m_sections.empty();
}

bool CIniFile::ReadBytes(std::string_view p_bytes) {
    Parser parser(*this);
    parser.Feed(p_bytes.data(), p_bytes.size());
    return parser.Finish() && !m_sections.empty();
}

int CIniFile::FindSection(std::u16string_view p_strSection) const {
    return m_pSectionIndex->Find(p_strSection, m_sectionNames, m_bCaseInsensitive);
}

int CIniFile::FindKey(int p_nSection, std::u16string_view p_strKey) const {
    if (p_nSection < 0 || static_cast<size_t>(p_nSection) >= m_sections.size()) {
        return noID;
    }
    const Section& section = m_sections[static_cast<size_t>(p_nSection)];
    return section.keyIndex.Find(p_strKey, section.keys, m_bCaseInsensitive);
}

int CIniFile::AddSection(const std::u16string& p_strSection) {
    int index = static_cast<int>(m_sectionNames.size());
    m_sectionNames.push_back(p_strSection);
    m_sections.emplace_back();
    m_pSectionIndex->FindOrAdd(p_strSection, index, m_sectionNames, m_bCaseInsensitive);
    return index;
}

bool CIniFile::SetValue(const std::u16string& p_strSection, const std::u16string& p_strKey,
                        const std::u16string& p_strValue, bool p_bCreate) {
    int section = FindSection(p_strSection);
    if (section == noID) {
        if (!p_bCreate) {
            return false;
        }
        section = AddSection(p_strSection);
    }
    Section& record = m_sections[static_cast<size_t>(section)];
    int key = FindKey(section, p_strKey);
    if (key == noID) {
        if (!p_bCreate) {
            return false;
        }
        record.keyIndex.FindOrAdd(p_strKey, static_cast<int>(record.keys.size()), record.keys,
                                  m_bCaseInsensitive);
        record.keys.push_back(p_strKey);
        record.values.push_back(p_strValue);
    } else {
        record.values[static_cast<size_t>(key)] = p_strValue;
    }
    return true;
}

std::u16string CIniFile::GetValue(std::u16string_view p_strSection, std::u16string_view p_strKey,
                                  const std::u16string& p_strDefault) const {
    int section = FindSection(p_strSection);
    int key = FindKey(section, p_strKey);
    if (key == noID) {
        return p_strDefault;
    }
    return m_sections[static_cast<size_t>(section)].values[static_cast<size_t>(key)];
}

int32_t CIniFile::GetValueInt(std::u16string_view p_strSection, std::u16string_view p_strKey,
                              int32_t p_nDefault) const {
    int section = FindSection(p_strSection);
    int key = FindKey(section, p_strKey);
    if (key == noID) {
        return p_nDefault;
    }
    int32_t value = 0;
    if (!ParseInt(m_sections[static_cast<size_t>(section)].values[static_cast<size_t>(key)],
                  value)) {
        return 0;
    }
    return value;
}

bool CIniFile::ParseInt(std::u16string_view p_strText, int32_t& p_nValue) {
    size_t i = 0;
    while (i < p_strText.size() &&
           (p_strText[i] == u' ' || (p_strText[i] >= u'\t' && p_strText[i] <= u'\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < p_strText.size() && (p_strText[i] == u'+' || p_strText[i] == u'-')) {
        negative = p_strText[i] == u'-';
        ++i;
    }
    const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
    uint64_t magnitude = 0;
    size_t digits = 0;
    for (; i < p_strText.size() && p_strText[i] >= u'0' && p_strText[i] <= u'9'; ++i, ++digits) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(p_strText[i] - u'0');
        if (magnitude > limit) {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    p_nValue = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                        : static_cast<int32_t>(magnitude);
    return true;
}

void CIniFile::AddHeaderComment(const std::u16string& p_strComment) {
    m_headerComments.push_back(p_strComment);
}

void CIniFile::AddSectionComment(std::u16string_view p_strSection,
                                 const std::u16string& p_strComment) {
    int section = FindSection(p_strSection);
    if (section != noID) {
        m_sections[static_cast<size_t>(section)].comments.push_back(p_strComment);
    }
}

std::u16string CIniFile::FoldCase(std::u16string_view p_strText) const {
    std::u16string text(p_strText);
    if (m_bCaseInsensitive) {
        for (char16_t& c : text) {
            c = Fold(c);
        }
    }
    return text;
}

const std::vector<std::u16string>& CIniFile::GetKeyNames(int p_nSection) const {
    if (p_nSection < 0 || static_cast<size_t>(p_nSection) >= m_sections.size()) {
        return EmptyList();
    }
    return m_sections[static_cast<size_t>(p_nSection)].keys;
}

const std::vector<std::u16string>& CIniFile::GetValues(int p_nSection) const {
    if (p_nSection < 0 || static_cast<size_t>(p_nSection) >= m_sections.size()) {
        return EmptyList();
    }
    return m_sections[static_cast<size_t>(p_nSection)].values;
}

const std::vector<std::u16string>& CIniFile::GetSectionComments(int p_nSection) const {
    if (p_nSection < 0 || static_cast<size_t>(p_nSection) >= m_sections.size()) {
        return EmptyList();
    }
    return m_sections[static_cast<size_t>(p_nSection)].comments;
}
