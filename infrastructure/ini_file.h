// CIniFile: reader of one settings file of INI form.
//
// A reader loads the whole file into memory and then answers look-ups by
// section and key. Each byte of the file is one character U+0000..U+00FF (no
// UTF-8 or UTF-16 decoding). Lines end at LF; one CR before it is removed.
// Per line, in this order: an empty line is skipped; a line whose first
// character is not printable (0x20..0x7E) ends the read with failure, keeping
// what was read before it; the first of ";", "#", "[", "=" decides the kind:
//   "="       key = text before it, value = all text after it, untrimmed;
//   "["       a section header when a "]" follows later in the line: the name
//             is the text up to the last "]"; always appends a new section;
//   ";" "#"   a comment (header comment before the first section);
//   none      ignored.
// Key lines before the first header go to a section with an empty name.
// Duplicate keys: the last value wins. Duplicate sections: look-ups find the
// first, and keys under a later header of the same name go to the first.
// Names compare after folding A..Z to a..z when the reader is
// case-insensitive (the default).
//
// Look-ups are hashed (first match by folded name), so reading is linear in
// the size of the file.
//
// Ownership and threads: an object owns its data and is used by one thread.
// Nothing here blocks except the file read itself.
#ifndef ML_INFRASTRUCTURE_INI_FILE_H_
#define ML_INFRASTRUCTURE_INI_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ml_ini_detail {
class NameIndex;
}

class CIniFile {
  public:
    static constexpr int noID = -1;

    CIniFile();
    // Movable, not copyable; a moved-from reader is only destroyed or
    // assigned to.
    CIniFile(CIniFile&& p_other) noexcept;
    CIniFile& operator=(CIniFile&& p_other) noexcept;
    virtual ~CIniFile();

    // Stores the path; lookups are case-insensitive unless `p_bCaseSensitive`.
    void SetPath(const std::u16string& p_strPath, bool p_bCaseSensitive);
    const std::u16string& GetPath() const { return m_strPath; }

    // Reads the file at the path, adding to what is held already. True when
    // at least one section exists afterwards. False, with the last error
    // set, when the file cannot be opened; false when a line starts with a
    // non-printable character (what came before it stays) or when there is
    // no section at all. Only the first 1 MiB is read; a longer file gets
    // one "[ERROR]" entry in the error log and the rest is ignored.
    bool ReadFile();
    // Parses `p_bytes` as ReadFile parses a file's content.
    bool ReadBytes(std::string_view p_bytes);

    // The index of the first section of this name (folded unless the reader
    // is case-sensitive), or noID.
    int FindSection(std::u16string_view p_strSection) const;
    // The index of the first key of this name in section `p_nSection`; noID
    // when there is no such key or `p_nSection` is not a section's index
    // (noID included).
    int FindKey(int p_nSection, std::u16string_view p_strKey) const;
    // Appends an empty section and returns its index, also when one of the
    // same name exists (look-ups keep finding the first).
    int AddSection(const std::u16string& p_strSection);
    // Stores the value under the first section and key of these names.
    // A missing section or key is appended when `p_bCreate` is true; when it
    // is false, nothing changes and the answer is false. True when stored.
    bool SetValue(const std::u16string& p_strSection, const std::u16string& p_strKey,
                  const std::u16string& p_strValue, bool p_bCreate = true);

    // The stored value; the default when the section or the key is absent.
    std::u16string GetValue(std::u16string_view p_strSection, std::u16string_view p_strKey,
                            const std::u16string& p_strDefault = std::u16string()) const;
    // The value read as a decimal integer as stream extraction reads it
    // (leading white space skipped, reading stops at the first character
    // that cannot continue the number). The default only when the section
    // or key is absent; 0 when the value holds no number or overflows.
    int32_t GetValueInt(std::u16string_view p_strSection, std::u16string_view p_strKey,
                        int32_t p_nDefault) const;

    void AddHeaderComment(const std::u16string& p_strComment);
    void AddSectionComment(std::u16string_view p_strSection, const std::u16string& p_strComment);

    // Lowers A..Z when case-insensitive; the text unchanged otherwise.
    std::u16string FoldCase(std::u16string_view p_strText) const;

    // Read access for tests and tools.
    size_t GetSectionCount() const { return m_sectionNames.size(); }
    const std::vector<std::u16string>& GetSectionNames() const { return m_sectionNames; }
    const std::vector<std::u16string>& GetHeaderComments() const { return m_headerComments; }
    // Keys, values and comments of section `p_nSection` (an index below
    // GetSectionCount()).
    const std::vector<std::u16string>& GetKeyNames(int p_nSection) const;
    const std::vector<std::u16string>& GetValues(int p_nSection) const;
    const std::vector<std::u16string>& GetSectionComments(int p_nSection) const;

    // Parses the decimal integer at the start of `p_strText` as stream
    // extraction of an int does; false when there is none or it overflows.
    static bool ParseInt(std::u16string_view p_strText, int32_t& p_nValue);

  private:
    struct Section;  // ini_file_internal.h
    class Parser;

    void RebuildIndexes();

    bool m_bCaseInsensitive;
    std::u16string m_strPath;
    std::vector<Section> m_sections;
    std::vector<std::u16string> m_sectionNames;
    std::vector<std::u16string> m_headerComments;
    // Folded section name -> first index.
    std::unique_ptr<ml_ini_detail::NameIndex> m_pSectionIndex;
};

#endif  // ML_INFRASTRUCTURE_INI_FILE_H_
