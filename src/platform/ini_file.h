#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One INI document in memory: settings files, patches and device definitions. Section and key
// names are case-insensitive (ASCII); a key given more than once reads as its last value.
// The document is the file's lines as they were read: a save writes every line back byte for
// byte (comments, blank lines, line endings, keys and sections this program does not know,
// repeats, lines it cannot read) and changes only the lines of the keys written or the
// sections erased, so hand edits and newer files are not lost. Numbers are read and written
// without regard to the user's locale.
//
// Only for the UI thread: files are read and written here, never on a real-time path.
class IniFile {
  public:
    // The most a file may hold: a definition or a patch is a few kilobytes, a settings file
    // with its sections about one; anything far beyond is no such file.
    static constexpr size_t kDefinitionLimit = size_t{1} << 20;
    static constexpr size_t kSettingsLimit = size_t{4} << 20;

    IniFile();
    ~IniFile();
    IniFile(IniFile&&) noexcept;
    IniFile& operator=(IniFile&&) noexcept;

    // Replaces the document with the file's contents. A missing file gives an empty document
    // and true. Anything else that cannot be read gives an empty document, false, the reason
    // in *error (e.g. "Is a directory", "not a regular file (a named pipe)", "File larger than
    // 1 MB") and the system's error number in *errorNumber (0 when the failure has none). Only
    // regular files are read, and at most maxBytes of them; a named pipe or a device is never
    // waited on.
    bool load(const std::string& path, std::string* error = nullptr, int* errorNumber = nullptr,
              size_t maxBytes = kDefinitionLimit);
    // Replaces the document with text read as a file's contents would be. False (and an empty
    // document) only when the text is beyond what a document can index (4 GB).
    bool loadText(std::string text, std::string* error = nullptr);

    bool hasSection(const std::string& section) const;
    bool hasKey(const std::string& section, const std::string& key) const;
    // Whether what was loaded holds bytes no text file has (NUL and most control characters):
    // a picture or a program given where a definition belongs.
    bool looksBinary() const;

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
    // as in the file; a repeated key once, at its first place, with its last value. Empty when
    // the section is missing.
    std::vector<std::pair<std::string, std::string>> sectionEntries(
        const std::string& section) const;
    // Every KEY=value line of a section as the text loaded has it, in file order: a key given
    // twice (in any letter case) comes twice, each with its own spelling and value, and a
    // section given twice gives the lines of both. Key and value are trimmed as the reads trim
    // them; comments and lines without "=" are left out. Writes since the load do not show.
    std::vector<std::pair<std::string, std::string>> sectionLines(const std::string& section) const;

    // The key's line gets the new value: its last line where it is given more than once (the
    // one that is read), the others go. The line keeps its place and spelling. A new key goes
    // after the last key of its section (of the last section of that name), a new section
    // after the last line that is not a comment. Line breaks in a value become spaces, since a
    // value is one line.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInt(const std::string& section, const std::string& key, int32_t value);
    void writeBool(const std::string& section, const std::string& key, bool value);  // 1 or 0
    void writeFloat(const std::string& section, const std::string& key, double value);

    // Removes every section of that name with its keys and other lines; comments after its
    // last key stay (they usually speak of what follows). Nothing happens when it is absent.
    void eraseSection(const std::string& section);

    // The document as save() writes it.
    std::string text() const;

    // Writes the document. The text goes to a temporary file in the same folder, which is
    // flushed to disk and then renamed over path, so a crash or a full disk never leaves a
    // truncated file. The file keeps its permissions, and its owner and group where the process
    // may set them; a symbolic link is kept and its target replaced. Temporaries that an
    // earlier save left behind (its process killed mid-save) are removed first. On failure the
    // old file is untouched, the temporary file is removed, and *error holds the system's
    // reason (e.g. "Permission denied"), *errorNumber its number.
    bool save(const std::string& path, std::string* error = nullptr,
              int* errorNumber = nullptr) const;

    // Removes the temporaries a save of path left when its process died before the rename
    // ("<file>.tmp-<pid>-<n>" beside it, whose process is gone). Returns how many went.
    static int RemoveStaleTemporaries(const std::string& path);

  private:
    struct Document;
    std::unique_ptr<Document> doc_;
};
