#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One INI document in memory: settings files, patches and device definitions. Section and key
// names are case-insensitive (ASCII). Everything the program does not know (other keys,
// sections, comments) survives a load and save, so hand edits and newer files are not lost.
// Numbers are read and written without regard to the user's locale.
//
// Only for the UI thread: files are read and written here, never on a real-time path.
class IniFile {
  public:
    IniFile();
    ~IniFile();
    IniFile(IniFile&&) noexcept;
    IniFile& operator=(IniFile&&) noexcept;

    // Replaces the document with the file's contents. A missing file gives an empty document
    // and true. A file that cannot be read gives an empty document, false, and the reason in
    // *error (e.g. "Is a directory") and the system's error number in *errorNumber (0 when the
    // failure has none).
    bool load(const std::string& path, std::string* error = nullptr, int* errorNumber = nullptr);
    // Replaces the document with text read as a file's contents would be. False (and an empty
    // document) only when the parser runs out of memory.
    bool loadText(std::string text, std::string* error = nullptr);

    bool hasSection(const std::string& section) const;
    bool hasKey(const std::string& section, const std::string& key) const;

    // Each read gives def when the section or key is missing or the text does not fit the type.
    std::string readString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Decimal, or hexadecimal after "0x".
    int32_t readInt(const std::string& section, const std::string& key, int32_t def) const;
    // An integer; any value other than 0 is true ("7" is true, "true" is unreadable).
    bool readBool(const std::string& section, const std::string& key, bool def) const;
    // "." is the separator whatever the locale; empty text gives def.
    double readFloat(const std::string& section, const std::string& key, double def) const;

    // The keys of a section with their values, in file order and with the key names spelled
    // as in the file. Empty when the section is missing.
    std::vector<std::pair<std::string, std::string>> sectionEntries(
        const std::string& section) const;
    // Every KEY=value line of a section as the text loaded has it, in file order: a key given
    // twice (in any letter case) comes twice, each with its own spelling and value, and a
    // section given twice gives the lines of both. Key and value are trimmed as the reads trim
    // them; comments and lines without "=" are left out. Writes since the load do not show.
    std::vector<std::pair<std::string, std::string>> sectionLines(
        const std::string& section) const;

    // An existing key keeps its place and spelling; a new key goes to the end of its section,
    // a new section to the end of the document. Line breaks in a value become spaces, since
    // a value is one line.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInt(const std::string& section, const std::string& key, int32_t value);
    void writeBool(const std::string& section, const std::string& key, bool value);  // 1 or 0
    void writeFloat(const std::string& section, const std::string& key, double value);

    // Removes a section with all its keys; nothing happens when it is absent.
    void eraseSection(const std::string& section);

    // Writes the document as KEY=value lines. The text goes to a temporary file in the same
    // folder, which is flushed to disk and then renamed over path, so a crash or a full disk
    // never leaves a truncated file. The file keeps its permissions; a symbolic link is kept
    // and its target replaced. On failure the old file is untouched, the temporary file is
    // removed, and *error holds the system's reason (e.g. "Permission denied"), *errorNumber
    // its number.
    bool save(const std::string& path, std::string* error = nullptr,
              int* errorNumber = nullptr) const;

  private:
    struct Document;
    std::unique_ptr<Document> doc_;
};
