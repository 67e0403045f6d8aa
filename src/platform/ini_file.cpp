#include "platform/ini_file.h"

// Only the char interface is used, and it passes UTF-8 through unchanged; without
// SI_NO_CONVERSION the header wants the wide-character converter, whose header Debian does not
// ship. Debian's header also keeps the template bodies behind SI_IMPLEMENTATION (for its ICU
// build of the library); compiling them here keeps us free of the library and of ICU.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/number_text.h"

struct IniFile::Document {
    // CSimpleIniA compares section and key names without regard to ASCII case;
    // CSimpleIniCaseA would be the case-sensitive one.
    CSimpleIniA ini;
    // Comment lines after the last entry, each ending in "\n". The library attaches a comment
    // to the entry that follows it, so these would otherwise vanish on the first save.
    std::string trailingComments;
    // The text as loaded, for sectionLines: the library keeps one entry per key.
    std::string text;

    Document() { configure(); }

    void configure() {
        ini.SetUnicode(true);
        ini.SetMultiKey(false);  // a repeated key keeps its last value, as readers expect
        ini.SetMultiLine(false);
        ini.SetQuotes(false);  // quotes are part of a value, e.g. in port names
        ini.SetSpaces(false);  // KEY=value, as every existing file is written
    }

    void clear() {
        ini.Reset();
        trailingComments.clear();
        text.clear();
        configure();
    }
};

namespace {

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

bool IsCommentOrBlank(std::string_view line) {
    const auto first = line.find_first_not_of(" \t\r");
    return first == std::string_view::npos || line[first] == ';' || line[first] == '#';
}

// The comment lines at the end of text with the blank lines between them, or "" when there
// are none.
std::string TrailingComments(std::string_view text) {
    constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
    if (text.starts_with(kUtf8Mark)) text.remove_prefix(kUtf8Mark.size());
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    size_t last = lines.size();
    while (last > 0 && IsBlank(lines[last - 1])) --last;
    size_t first = last;
    while (first > 0 && IsCommentOrBlank(lines[first - 1])) --first;
    if (first == 0) {
        // Nothing but comments: the library keeps the first block, up to a blank line, as the
        // file comment, and only the rest is ours to keep.
        while (first < last && IsBlank(lines[first])) ++first;
        while (first < last && !IsBlank(lines[first])) ++first;
    }
    while (first < last && IsBlank(lines[first])) ++first;
    std::string block;
    for (size_t i = first; i < last; ++i) {
        std::string_view line = lines[i];
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        block.append(line).append("\n");
    }
    return block;
}

void SetError(std::string* error, int* number, int errorNumber) {
    // The category's message is strerror's text without strerror's shared buffer.
    if (error) *error = std::generic_category().message(errorNumber);
    if (number) *number = errorNumber;
}

void SetError(std::string* error, int* number, const char* text) {
    if (error) *error = text;
    if (number) *number = 0;
}

// Reads the whole file; on failure returns the errno value, 0 on success.
int ReadWholeFile(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int result = 0;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        result = errno;
    } else if (S_ISDIR(info.st_mode)) {
        result = EISDIR;  // open() succeeds on a folder; say so instead of reading nothing
    } else {
        char chunk[8192];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                text.append(chunk, static_cast<size_t>(n));
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                result = errno;
                break;
            }
        }
    }
    ::close(fd);
    return result;
}

int WriteAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written += static_cast<size_t>(n);
    }
    return 0;
}

// Saving through a symbolic link replaces the link's target, so a settings file that the user
// keeps elsewhere and links in stays where it is. A dangling link is replaced by the file.
std::string ResolveLink(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string target(real);
    std::free(real);
    return target;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates a new file next to target with a name no one else uses. 0666 lets the umask decide
// the permissions of a file that did not exist before.
int CreateTemporaryNextTo(const std::string& target, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = target + ".tmp-" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool WriteFileReplacing(const std::string& path, const std::string& text, std::string* error,
                        int* errorNumber) {
    const std::string target = ResolveLink(path);
    std::string temporary;
    const int fd = CreateTemporaryNextTo(target, temporary);
    if (fd < 0) {
        SetError(error, errorNumber, errno);
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // A failure here leaves the default permissions, which is no reason to lose the save.
        (void)::fchmod(fd, old.st_mode & 07777);
    }
    int failure = WriteAll(fd, text);
    // fsync before rename: otherwise a crash soon after could leave the new name pointing at
    // an empty file on some file systems.
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temporary.c_str());
        SetError(error, errorNumber, failure);
        return false;
    }
    // Makes the rename itself durable; the new contents are already safe, so errors are
    // not worth failing the save for.
    const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
}

}  // namespace

IniFile::IniFile() : doc_(std::make_unique<Document>()) {}
IniFile::~IniFile() = default;
IniFile::IniFile(IniFile&&) noexcept = default;
IniFile& IniFile::operator=(IniFile&&) noexcept = default;

bool IniFile::load(const std::string& path, std::string* error, int* errorNumber) {
    doc_->clear();
    std::string text;
    const int failure = ReadWholeFile(path, text);
    if (failure == ENOENT) return true;
    if (failure != 0) {
        SetError(error, errorNumber, failure);
        return false;
    }
    if (!loadText(std::move(text), error)) {
        if (errorNumber) *errorNumber = 0;
        return false;
    }
    return true;
}

bool IniFile::loadText(std::string text, std::string* error) {
    doc_->clear();
    // The parser ends the whole file at a NUL byte, silently dropping every key after it. A
    // stray NUL becomes a control character instead: the rest of the file still reads, and the
    // value holding it reads as the text it is, not as the part before it.
    std::replace(text.begin(), text.end(), '\0', '\x1A');
    if (doc_->ini.LoadData(text) < 0) {
        doc_->clear();
        if (error) *error = "out of memory";
        return false;
    }
    doc_->trailingComments = TrailingComments(text);
    doc_->text = std::move(text);
    return true;
}

bool IniFile::hasSection(const std::string& section) const {
    return doc_->ini.SectionExists(section.c_str());
}

bool IniFile::hasKey(const std::string& section, const std::string& key) const {
    return doc_->ini.KeyExists(section.c_str(), key.c_str());
}

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    const char* value = doc_->ini.GetValue(section.c_str(), key.c_str());
    return value ? std::string(value) : def;
}

int32_t IniFile::readInt(const std::string& section, const std::string& key, int32_t def) const {
    const char* value = doc_->ini.GetValue(section.c_str(), key.c_str());
    return value ? ParseInt(value).value_or(def) : def;
}

bool IniFile::readBool(const std::string& section, const std::string& key, bool def) const {
    const char* value = doc_->ini.GetValue(section.c_str(), key.c_str());
    if (!value) return def;
    const auto number = ParseInt(value);
    return number ? *number != 0 : def;
}

double IniFile::readFloat(const std::string& section, const std::string& key, double def) const {
    const char* value = doc_->ini.GetValue(section.c_str(), key.c_str());
    return value ? ParseFloat(value).value_or(def) : def;
}

std::vector<std::pair<std::string, std::string>> IniFile::sectionEntries(
    const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    const auto* keys = doc_->ini.GetSection(section.c_str());
    if (!keys) return entries;
    // The section map is ordered by name; nOrder remembers where each key was loaded or added.
    std::vector<std::pair<int, std::pair<std::string, std::string>>> ordered;
    ordered.reserve(keys->size());
    for (const auto& [entry, value] : *keys)
        ordered.push_back({entry.nOrder, {entry.pItem, value}});
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    entries.reserve(ordered.size());
    for (auto& item : ordered) entries.push_back(std::move(item.second));
    return entries;
}

std::vector<std::pair<std::string, std::string>> IniFile::sectionLines(
    const std::string& section) const {
    // Read as the library reads: blanks are spaces, tabs and CRs; ";" and "#" start comments;
    // a line without "=", or with nothing before it, is no entry.
    constexpr std::string_view kBlanks = " \t\r";
    const auto trim = [&](std::string_view s) {
        const size_t first = s.find_first_not_of(kBlanks);
        if (first == std::string_view::npos) return std::string_view();
        return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
    };
    const auto sameName = [](std::string_view a, std::string_view b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    };
    std::vector<std::pair<std::string, std::string>> lines;
    std::string_view text = doc_->text;
    constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
    if (text.starts_with(kUtf8Mark)) text.remove_prefix(kUtf8Mark.size());
    bool inSection = false;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
        const std::string_view line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            // Without "]" the library files what follows under a section of no usable name.
            const size_t close = line.find(']');
            inSection = close != std::string_view::npos &&
                        sameName(trim(line.substr(1, close - 1)), section);
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string_view::npos || equals == 0) continue;
        lines.emplace_back(std::string(trim(line.substr(0, equals))),
                           std::string(trim(line.substr(equals + 1))));
    }
    return lines;
}

void IniFile::writeString(const std::string& section, const std::string& key,
                          const std::string& value) {
    std::string oneLine = value;
    std::replace_if(
        oneLine.begin(), oneLine.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    doc_->ini.SetValue(section.c_str(), key.c_str(), oneLine.c_str());
}

void IniFile::writeInt(const std::string& section, const std::string& key, int32_t value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(const std::string& section, const std::string& key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

void IniFile::writeFloat(const std::string& section, const std::string& key, double value) {
    writeString(section, key, FormatGeneral(value));
}

void IniFile::eraseSection(const std::string& section) {
    doc_->ini.Delete(section.c_str(), nullptr);
}

bool IniFile::save(const std::string& path, std::string* error, int* errorNumber) const {
    std::string text;
    if (doc_->ini.Save(text) < 0) {
        SetError(error, errorNumber, "the settings could not be put into text");
        return false;
    }
    if (!doc_->trailingComments.empty()) {
        if (!text.empty()) text += "\n";
        text += doc_->trailingComments;
    }
    return WriteFileReplacing(path, text, error, errorNumber);
}
