#include "platform/ini_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <system_error>

#include "platform/number_text.h"

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kEndings[] = {"", "\n", "\r\n", "\r"};

// What a line is, as the reader sees it. Lines of no other kind ("Other": text without "=", a
// "[" without "]", "=value" without a key) are read as nothing and written back as they are.
enum class Kind : uint8_t { Blank, Comment, Header, Entry, Other };

// Names compare without regard to ASCII case. A NUL reads as the control character 0x1A, as
// it did when the file went through a parser that stops at NUL; the file keeps the NUL.
char Fold(char c) {
    if (c == '\0') return '\x1A';
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int CompareNames(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(Fold(a[i]));
        const auto y = static_cast<unsigned char>(Fold(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string ReadableText(std::string_view text) {
    std::string out(text);
    std::replace(out.begin(), out.end(), '\0', '\x1A');
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Bytes no text file holds; tab, line and page breaks and 0x1A (an old end-of-file mark) are
// text.
bool IsBinaryByte(unsigned char c) {
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1A);
}

std::string MegabytesText(size_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

}  // namespace

struct IniFile::Document {
    // Declared first, so destroyed last: a large document is many megabytes of buffers, which
    // the allocator would otherwise keep for the rest of the run.
    struct ReleaseOnExit {
        bool large = false;
        ~ReleaseOnExit() {
            if (large) ::malloc_trim(0);
        }
    } release;

    struct Line {
        uint32_t begin = 0;  // the text without its line ending, in original or fresh
        uint32_t length = 0;
        uint32_t nameBegin = 0;  // section or key name, within the text
        uint32_t nameLength = 0;
        uint32_t valueBegin = 0;  // an entry's value, blanks around it left out
        uint32_t valueLength = 0;
        uint32_t header = kNone;  // the section header above this line; none before the first
        uint32_t next = kNone;    // the following line of the document
        uint8_t ending = 0;       // kEndings
        Kind kind = Kind::Other;
        bool fresh = false;  // text in fresh: written by us
        bool gone = false;   // erased or replaced; not written
    };

    std::string original;  // what was read, unchanged
    std::string fresh;     // the text of every line written since
    std::vector<Line> lines;
    uint32_t first = kNone;
    uint32_t last = kNone;
    // A new section goes after the last line that is neither blank nor a comment, so that
    // comments at the end of a file stay at its end.
    uint32_t lastContent = kNone;
    uint8_t newLineEnding = 1;  // as the file's own lines end; "\n" for a new file
    bool binary = false;

    // Entries sorted by (section, key, line) and headers by (name, line), names folded; line
    // numbers follow the document's order for everything read, and a line written later never
    // shares its section and key with a line that is still there.
    mutable std::vector<uint32_t> entryIndex;
    mutable std::vector<uint32_t> headerIndex;
    mutable bool indexed = false;

    std::string_view textOf(const Line& line) const {
        const std::string& buffer = line.fresh ? fresh : original;
        return std::string_view(buffer).substr(line.begin, line.length);
    }
    std::string_view nameOf(const Line& line) const {
        return textOf(line).substr(line.nameBegin, line.nameLength);
    }
    std::string_view valueOf(const Line& line) const {
        return textOf(line).substr(line.valueBegin, line.valueLength);
    }
    std::string_view sectionOf(const Line& line) const {
        return line.header == kNone ? std::string_view() : nameOf(lines[line.header]);
    }

    void parse(uint32_t id) {
        Line& line = lines[id];
        const std::string_view text = textOf(line);
        size_t i = 0;
        if (id == first && text.starts_with(kUtf8Mark)) i = kUtf8Mark.size();
        while (i < text.size() && IsBlank(text[i])) ++i;
        line.kind = Kind::Other;
        line.nameBegin = line.nameLength = line.valueBegin = line.valueLength = 0;
        if (i == text.size()) {
            line.kind = Kind::Blank;
            return;
        }
        if (text[i] == ';' || text[i] == '#') {
            line.kind = Kind::Comment;
            return;
        }
        if (text[i] == '[') {
            size_t start = i + 1;
            while (start < text.size() && IsBlank(text[start])) ++start;
            const size_t close = text.find(']', start);
            if (close == std::string_view::npos) return;
            size_t end = close;
            while (end > start && IsBlank(text[end - 1])) --end;
            line.kind = Kind::Header;
            line.nameBegin = static_cast<uint32_t>(start);
            line.nameLength = static_cast<uint32_t>(end - start);
            return;
        }
        const size_t equals = text.find('=', i);
        if (equals == std::string_view::npos || equals == i) return;
        size_t keyEnd = equals;
        while (keyEnd > i && IsBlank(text[keyEnd - 1])) --keyEnd;
        size_t valueStart = equals + 1;
        while (valueStart < text.size() && IsBlank(text[valueStart])) ++valueStart;
        size_t valueEnd = text.size();
        while (valueEnd > valueStart && IsBlank(text[valueEnd - 1])) --valueEnd;
        line.kind = Kind::Entry;
        line.nameBegin = static_cast<uint32_t>(i);
        line.nameLength = static_cast<uint32_t>(keyEnd - i);
        line.valueBegin = static_cast<uint32_t>(valueStart);
        line.valueLength = static_cast<uint32_t>(valueEnd - valueStart);
    }

    bool load(std::string text) {
        if (text.size() >= kNone) return false;
        original = std::move(text);
        const std::string_view all(original);
        lines.reserve(static_cast<size_t>(std::count(all.begin(), all.end(), '\n')) + 1);
        uint32_t header = kNone;
        for (size_t start = 0; start < all.size();) {
            const size_t end = std::min(all.find_first_of("\r\n", start), all.size());
            Line line;
            line.begin = static_cast<uint32_t>(start);
            line.length = static_cast<uint32_t>(end - start);
            size_t after = end;
            if (end < all.size()) {
                const bool crlf = all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n';
                line.ending = crlf ? 2 : (all[end] == '\n' ? 1 : 3);
                after = end + (crlf ? 2 : 1);
            }
            const auto id = static_cast<uint32_t>(lines.size());
            if (id == 0) first = 0;
            if (last != kNone) lines[last].next = id;
            last = id;
            lines.push_back(line);
            parse(id);
            Line& parsed = lines[id];
            if (parsed.kind == Kind::Header) header = id;
            parsed.header = parsed.kind == Kind::Header ? kNone : header;
            if (parsed.kind != Kind::Blank && parsed.kind != Kind::Comment) lastContent = id;
            start = after;
        }
        for (const Line& line : lines) {
            if (line.ending != 0) {
                newLineEnding = line.ending;
                break;
            }
        }
        binary = std::any_of(original.begin(), original.end(),
                             [](char c) { return IsBinaryByte(static_cast<unsigned char>(c)); });
        release.large = original.size() + lines.capacity() * sizeof(Line) > (size_t{1} << 20);
        return true;
    }

    void index() const {
        if (indexed) return;
        entryIndex.clear();
        headerIndex.clear();
        for (uint32_t id = 0; id < lines.size(); ++id) {
            if (lines[id].kind == Kind::Entry) entryIndex.push_back(id);
            if (lines[id].kind == Kind::Header) headerIndex.push_back(id);
        }
        std::sort(entryIndex.begin(), entryIndex.end(),
                  [this](uint32_t a, uint32_t b) { return entryLess(a, b); });
        std::sort(headerIndex.begin(), headerIndex.end(),
                  [this](uint32_t a, uint32_t b) { return headerLess(a, b); });
        indexed = true;
    }

    bool entryLess(uint32_t a, uint32_t b) const {
        const int bySection = CompareNames(sectionOf(lines[a]), sectionOf(lines[b]));
        if (bySection != 0) return bySection < 0;
        const int byKey = CompareNames(nameOf(lines[a]), nameOf(lines[b]));
        return byKey != 0 ? byKey < 0 : a < b;
    }
    bool headerLess(uint32_t a, uint32_t b) const {
        const int byName = CompareNames(nameOf(lines[a]), nameOf(lines[b]));
        return byName != 0 ? byName < 0 : a < b;
    }

    // A line added to a document already indexed takes its place in the index at once, so
    // that writing many new keys into a large file does not sort it again for each.
    void addToIndex(uint32_t id) {
        if (!indexed) return;
        const Kind kind = lines[id].kind;
        if (kind != Kind::Entry && kind != Kind::Header) return;
        auto& index = kind == Kind::Entry ? entryIndex : headerIndex;
        const auto at =
            std::upper_bound(index.begin(), index.end(), id, [&](uint32_t a, uint32_t b) {
                return kind == Kind::Entry ? entryLess(a, b) : headerLess(a, b);
            });
        index.insert(at, id);
    }

    // The entries of the key in the section, read or gone, in the document's order.
    std::pair<const uint32_t*, const uint32_t*> entries(std::string_view section,
                                                        std::string_view key) const {
        index();
        const auto less = [&](uint32_t id, int) {
            const int bySection = CompareNames(sectionOf(lines[id]), section);
            return bySection != 0 ? bySection < 0 : CompareNames(nameOf(lines[id]), key) < 0;
        };
        const auto greater = [&](int, uint32_t id) {
            const int bySection = CompareNames(section, sectionOf(lines[id]));
            return bySection != 0 ? bySection < 0 : CompareNames(key, nameOf(lines[id])) < 0;
        };
        const auto* begin = entryIndex.data();
        const auto* end = begin + entryIndex.size();
        return {std::lower_bound(begin, end, 0, less), std::upper_bound(begin, end, 0, greater)};
    }

    // Every entry of the section, ordered by key.
    std::pair<const uint32_t*, const uint32_t*> sectionRange(std::string_view section) const {
        index();
        const auto less = [&](uint32_t id, int) {
            return CompareNames(sectionOf(lines[id]), section) < 0;
        };
        const auto greater = [&](int, uint32_t id) {
            return CompareNames(section, sectionOf(lines[id])) < 0;
        };
        const auto* begin = entryIndex.data();
        const auto* end = begin + entryIndex.size();
        return {std::lower_bound(begin, end, 0, less), std::upper_bound(begin, end, 0, greater)};
    }

    std::pair<const uint32_t*, const uint32_t*> headers(std::string_view name) const {
        index();
        const auto less = [&](uint32_t id, int) {
            return CompareNames(nameOf(lines[id]), name) < 0;
        };
        const auto greater = [&](int, uint32_t id) {
            return CompareNames(name, nameOf(lines[id])) < 0;
        };
        const auto* begin = headerIndex.data();
        const auto* end = begin + headerIndex.size();
        return {std::lower_bound(begin, end, 0, less), std::upper_bound(begin, end, 0, greater)};
    }

    // The line read for the key: its last one still there.
    const Line* find(std::string_view section, std::string_view key) const {
        const auto [begin, end] = entries(section, key);
        for (const uint32_t* it = end; it != begin;) {
            const Line& line = lines[*--it];
            if (!line.gone) return &line;
        }
        return nullptr;
    }

    uint32_t lastHeader(std::string_view name) const {
        const auto [begin, end] = headers(name);
        for (const uint32_t* it = end; it != begin;) {
            const uint32_t id = *--it;
            if (!lines[id].gone) return id;
        }
        return kNone;
    }

    uint32_t addText(std::string_view text) {
        const auto begin = static_cast<uint32_t>(fresh.size());
        fresh.append(text);
        return begin;
    }

    void setText(uint32_t id, std::string_view text) {
        Line& line = lines[id];
        line.begin = addText(text);
        line.length = static_cast<uint32_t>(text.size());
        line.fresh = true;
        parse(id);
    }

    // A new line after the line after, or at the start of an empty document.
    uint32_t insertAfter(uint32_t after, std::string_view text, uint32_t header) {
        const auto id = static_cast<uint32_t>(lines.size());
        Line line;
        line.begin = addText(text);
        line.length = static_cast<uint32_t>(text.size());
        line.fresh = true;
        // Ends as the line it follows does, so a file of mixed line ends stays as it is around
        // the new line.
        line.ending =
            after != kNone && lines[after].ending != 0 ? lines[after].ending : newLineEnding;
        if (after == kNone) {
            line.next = first;
            first = id;
        } else {
            // The line before keeps its text; one without an ending (the file's last) gets one.
            if (lines[after].ending == 0) lines[after].ending = newLineEnding;
            line.next = lines[after].next;
            lines[after].next = id;
        }
        if (last == after) last = id;
        lines.push_back(line);
        parse(id);
        lines[id].header = lines[id].kind == Kind::Header ? kNone : header;
        if (after == lastContent) lastContent = id;
        addToIndex(id);
        return id;
    }

    // The last line still there up to and including the line at, or none.
    uint32_t lastShownUpTo(uint32_t at) const {
        uint32_t shown = kNone;
        for (uint32_t id = first; id != kNone; id = lines[id].next) {
            if (!lines[id].gone) shown = id;
            if (id == at) break;
        }
        return shown;
    }

    void write(std::string_view section, std::string_view key, std::string_view value) {
        const auto [begin, end] = entries(section, key);
        const uint32_t* kept = nullptr;
        for (const uint32_t* it = end; it != begin;) {
            if (!lines[*--it].gone) {
                kept = it;
                break;
            }
        }
        if (kept) {
            for (const uint32_t* it = begin; it != kept; ++it) lines[*it].gone = true;
            const uint32_t id = *kept;
            const Line& line = lines[id];
            if (valueOf(line) == value) return;
            const std::string_view text = textOf(line);
            std::string changed(text.substr(0, line.valueBegin));
            changed.append(value);
            changed.append(text.substr(line.valueBegin + line.valueLength));
            setText(id, changed);
            return;
        }
        std::string entry(key);
        entry.append("=").append(value);
        const uint32_t header = lastHeader(section);
        if (header != kNone) {
            uint32_t after = header;
            for (uint32_t id = lines[header].next; id != kNone; id = lines[id].next) {
                if (lines[id].kind == Kind::Header) break;
                if (!lines[id].gone && lines[id].kind == Kind::Entry) after = id;
            }
            insertAfter(after, entry, header);
            return;
        }
        // A section of its own, set off from what comes before by a blank line.
        uint32_t after = lastContent != kNone ? lastContent : last;
        const uint32_t before = after == kNone ? kNone : lastShownUpTo(after);
        if (before != kNone && lines[before].kind != Kind::Blank)
            after = insertAfter(after, "", kNone);
        const uint32_t newHeader = insertAfter(after, "[" + std::string(section) + "]", kNone);
        lastContent = insertAfter(newHeader, entry, newHeader);
    }

    void erase(std::string_view section) {
        const auto [begin, end] = headers(section);
        for (const uint32_t* it = begin; it != end; ++it) {
            const uint32_t header = *it;
            if (lines[header].gone) continue;
            // The section's extent: its header up to its last line that is neither blank nor
            // a comment.
            uint32_t lastOwn = header;
            for (uint32_t id = lines[header].next; id != kNone; id = lines[id].next) {
                if (lines[id].kind == Kind::Header) break;
                if (lines[id].kind != Kind::Blank && lines[id].kind != Kind::Comment) lastOwn = id;
            }
            for (uint32_t id = header;; id = lines[id].next) {
                lines[id].gone = true;
                if (id == lastOwn) break;
            }
        }
        // Keys given before any section belong to the nameless one.
        if (section.empty()) {
            for (Line& line : lines)
                if (line.kind == Kind::Entry && line.header == kNone) line.gone = true;
        }
    }

    std::string text() const {
        std::string out;
        out.reserve(original.size() + fresh.size());
        bool lastEndedInCr = false;
        for (uint32_t id = first; id != kNone; id = lines[id].next) {
            const Line& line = lines[id];
            if (line.gone) continue;
            // A line ending in a lone CR that now meets an empty line ending in LF (a line
            // between them went, or a new one came) would read as one CR LF: the empty line
            // would vanish. The CR gets its LF.
            if (lastEndedInCr && line.length == 0 && kEndings[line.ending].starts_with('\n'))
                out.push_back('\n');
            out.append(textOf(line));
            out.append(kEndings[line.ending]);
            lastEndedInCr = line.ending == 3;
        }
        return out;
    }
};

namespace {

void SetError(std::string* error, int* number, int errorNumber) {
    // The category's message is strerror's text without strerror's shared buffer.
    if (error) *error = std::generic_category().message(errorNumber);
    if (number) *number = errorNumber;
}

void SetError(std::string* error, int* number, int errorNumber, const std::string& text) {
    if (error) *error = text;
    if (number) *number = errorNumber;
}

// What a path that is not a regular file is, in words.
const char* KindOfFile(mode_t mode) {
    if (S_ISFIFO(mode)) return "not a regular file (a named pipe)";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "not a regular file (a device)";
    if (S_ISSOCK(mode)) return "not a regular file (a socket)";
    return "not a regular file";
}

struct ReadFailure {
    int number = 0;  // 0: read, or refused for a reason of ours
    std::string text;
    bool failed = false;
};

// Reads a regular file of at most limit bytes. A named pipe would block open() until a writer
// came, and a device such as /dev/zero never ends: both are refused before a byte is read.
ReadFailure ReadRegularFile(const std::string& path, size_t limit, std::string& text) {
    ReadFailure failure;
    const auto fail = [&](int number, std::string reason = {}) {
        failure.failed = true;
        failure.number = number;
        failure.text = reason.empty() ? std::generic_category().message(number) : reason;
        return failure;
    };
    const auto refuse = [&](const struct stat& info) {
        if (S_ISDIR(info.st_mode)) return fail(EISDIR);
        if (!S_ISREG(info.st_mode)) return fail(0, KindOfFile(info.st_mode));
        return fail(EFBIG, "File larger than " + MegabytesText(limit));
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return fail(errno);
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > limit) return refuse(info);
    // Non-blocking as well: the path may have become something else since the look above.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return fail(errno);
    if (::fstat(fd, &info) != 0) {
        const int number = errno;
        ::close(fd);
        return fail(number);
    }
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > limit) {
        ::close(fd);
        return refuse(info);
    }
    text.reserve(static_cast<size_t>(info.st_size));
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            // A file that grows while it is read is held to the same limit.
            if (text.size() + static_cast<size_t>(n) > limit) {
                ::close(fd);
                return refuse(info);
            }
            text.append(chunk, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int number = errno;
            ::close(fd);
            return fail(number);
        }
    }
    ::close(fd);
    return failure;
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

std::string NameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr std::string_view kTemporaryMark = ".tmp-";

// "<pid>-<n>" of a temporary's name, or 0 when the rest of the name is not of that form.
pid_t TemporaryOwner(std::string_view rest) {
    const size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size() || dash > 9)
        return 0;
    const auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(rest.substr(0, dash)) || !digits(rest.substr(dash + 1))) return 0;
    return static_cast<pid_t>(std::stol(std::string(rest.substr(0, dash))));
}

// When the process pid started, in seconds since the epoch; 0 when that cannot be told.
double ProcessStartTime(pid_t pid) {
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold anything; the fields are counted after it.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    unsigned long long startTicks = 0;
    for (int n = 3; fields >> field; ++n) {
        if (n == 22) {
            startTicks = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    std::ifstream system("/proc/stat");
    std::string label;
    double bootTime = 0;
    while (system >> label) {
        if (label == "btime") {
            system >> bootTime;
            break;
        }
    }
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (bootTime == 0 || startTicks == 0 || ticksPerSecond <= 0) return 0;
    return bootTime + static_cast<double>(startTicks) / static_cast<double>(ticksPerSecond);
}

// Whether the process of that number may still be writing a temporary last written at
// modified: it lives, and it did not start after the file was written (a number used again
// by a later process).
bool MayStillWrite(pid_t pid, const struct timespec& modified) {
    if (pid <= 0) return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    const double started = ProcessStartTime(pid);
    const double written = static_cast<double>(modified.tv_sec) + modified.tv_nsec * 1e-9;
    // The start time is known to a clock tick and the boot time to a second.
    return started == 0 || started <= written + 2;
}

// Creates a new file next to target with a name no one else uses. 0666 lets the umask decide
// the permissions of a file that did not exist before.
int CreateTemporaryNextTo(const std::string& target, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = target + std::string(kTemporaryMark) + std::to_string(::getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        const int fd =
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool WriteFileReplacing(const std::string& path, const std::string& text, std::string* error,
                        int* errorNumber) {
    const std::string target = ResolveLink(path);
    IniFile::RemoveStaleTemporaries(target);
    std::string temporary;
    const int fd = CreateTemporaryNextTo(target, temporary);
    if (fd < 0) {
        SetError(error, errorNumber, errno);
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Owner and group first: a change of owner clears the set-user and set-group bits,
        // which the mode then puts back. Root may give the file back to its owner; anyone may
        // give it a group of their own. Failures leave the defaults, which is no reason to
        // lose the save.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, -1, old.st_gid);
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

bool IniFile::load(const std::string& path, std::string* error, int* errorNumber, size_t maxBytes) {
    doc_ = std::make_unique<Document>();
    std::string text;
    const ReadFailure failure = ReadRegularFile(path, maxBytes, text);
    if (failure.failed && failure.number == ENOENT) return true;
    if (failure.failed) {
        SetError(error, errorNumber, failure.number, failure.text);
        return false;
    }
    if (!loadText(std::move(text), error)) {
        if (errorNumber) *errorNumber = 0;
        return false;
    }
    return true;
}

bool IniFile::loadText(std::string text, std::string* error) {
    doc_ = std::make_unique<Document>();
    if (!doc_->load(std::move(text))) {
        doc_ = std::make_unique<Document>();
        if (error) *error = "too large";
        return false;
    }
    return true;
}

bool IniFile::hasSection(const std::string& section) const {
    if (doc_->lastHeader(section) != kNone) return true;
    if (!section.empty()) return false;
    return std::any_of(doc_->lines.begin(), doc_->lines.end(), [](const Document::Line& line) {
        return line.kind == Kind::Entry && line.header == kNone && !line.gone;
    });
}

bool IniFile::hasKey(const std::string& section, const std::string& key) const {
    return doc_->find(section, key) != nullptr;
}

bool IniFile::looksBinary() const {
    return doc_->binary;
}

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    const Document::Line* line = doc_->find(section, key);
    return line ? ReadableText(doc_->valueOf(*line)) : def;
}

int32_t IniFile::readInt(const std::string& section, const std::string& key, int32_t def) const {
    const Document::Line* line = doc_->find(section, key);
    return line ? ParseInt(ReadableText(doc_->valueOf(*line))).value_or(def) : def;
}

bool IniFile::readBool(const std::string& section, const std::string& key, bool def) const {
    const Document::Line* line = doc_->find(section, key);
    if (!line) return def;
    const auto number = ParseInt(ReadableText(doc_->valueOf(*line)));
    return number ? *number != 0 : def;
}

double IniFile::readFloat(const std::string& section, const std::string& key, double def) const {
    const Document::Line* line = doc_->find(section, key);
    return line ? ParseFloat(ReadableText(doc_->valueOf(*line))).value_or(def) : def;
}

std::vector<std::pair<std::string, std::string>> IniFile::sectionEntries(
    const std::string& section) const {
    const Document& doc = *doc_;
    // Ordered by key, then line: each run of one key gives its first and last line.
    struct Found {
        uint32_t place;
        uint32_t valueLine;
    };
    std::vector<Found> found;
    const auto [begin, end] = doc.sectionRange(section);
    for (const uint32_t* it = begin; it != end; ++it) {
        const auto& line = doc.lines[*it];
        if (line.gone) continue;
        if (!found.empty() &&
            CompareNames(doc.nameOf(doc.lines[found.back().place]), doc.nameOf(line)) == 0)
            found.back().valueLine = *it;
        else
            found.push_back({*it, *it});
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.place < b.place; });
    std::vector<std::pair<std::string, std::string>> entries;
    entries.reserve(found.size());
    for (const Found& f : found) {
        entries.emplace_back(ReadableText(doc.nameOf(doc.lines[f.place])),
                             ReadableText(doc.valueOf(doc.lines[f.valueLine])));
    }
    return entries;
}

std::vector<std::pair<std::string, std::string>> IniFile::sectionLines(
    const std::string& section) const {
    const Document& doc = *doc_;
    std::vector<std::pair<std::string, std::string>> found;
    // The lines as loaded, in their order: those read are at the front of the list, and a
    // write adds lines of its own at its end.
    for (const Document::Line& line : doc.lines) {
        if (line.fresh || line.kind != Kind::Entry || line.header == kNone) continue;
        if (CompareNames(doc.sectionOf(line), section) != 0) continue;
        found.emplace_back(ReadableText(doc.nameOf(line)), ReadableText(doc.valueOf(line)));
    }
    return found;
}

void IniFile::writeString(const std::string& section, const std::string& key,
                          const std::string& value) {
    std::string oneLine = value;
    std::replace_if(
        oneLine.begin(), oneLine.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    doc_->write(section, key, oneLine);
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
    doc_->erase(section);
}

std::string IniFile::text() const {
    return doc_->text();
}

bool IniFile::save(const std::string& path, std::string* error, int* errorNumber) const {
    return WriteFileReplacing(path, doc_->text(), error, errorNumber);
}

int IniFile::RemoveStaleTemporaries(const std::string& path) {
    const std::string target = ResolveLink(path);
    const std::string folder = FolderOf(target);
    const std::string prefix = NameOf(target) + std::string(kTemporaryMark);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    int removed = 0;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) continue;
        const pid_t owner = TemporaryOwner(name.substr(prefix.size()));
        // This process's own are never stale: a save of ours may be under way.
        if (owner <= 0 || owner == self) continue;
        const std::string file = folder + "/" + std::string(name);
        struct stat info {};
        if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (MayStillWrite(owner, info.st_mtim)) continue;
        if (::unlink(file.c_str()) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}
