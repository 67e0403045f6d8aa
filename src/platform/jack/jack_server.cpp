// Finding a JACK server without disturbing anything: which libjack runs, whether a server
// answers (asked without libjack where that is cheaper and safer), and opening our client.
#include <jack/jack.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/jack/jack_session.h"

namespace jackbackend {

void QuietJackError(const char*) {}
void PrintJackError(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

// The server name a jackd2 client would connect to.
std::string EffectiveServerName(const std::string& serverName) {
    if (!serverName.empty()) return serverName;
    const char* fromEnvironment = std::getenv("JACK_DEFAULT_SERVER");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "default";
}

// Where PipeWire's libjack would connect: the daemon's socket, named after PIPEWIRE_REMOTE (which
// wins over the server name a client asks for), else that name, else "pipewire-0", in
// PipeWire's runtime folder or the system's.
std::vector<std::string> PipeWireSockets(const std::string& serverName) {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string name = remote && *remote ? remote : serverName;
    if (name.empty() || name == "default") name = "pipewire-0";
    if (name[0] == '/') return {name};
    std::vector<std::string> paths;
    for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const char* folder = std::getenv(variable);
        if (folder && *folder) {
            paths.push_back(std::string(folder) + "/" + name);
            break;
        }
    }
    paths.push_back("/run/pipewire/" + name);
    return paths;
}

// PipeWire's libjack (pw-jack), as opposed to jackd2's.
bool PipeWireLibjack() {
    static const bool pipeWire =
        std::string(jack_get_version_string()).find("PipeWire") != std::string::npos;
    return pipeWire;
}

// Whether a JACK server of that name answers, asked without libjack. Each jack_client_open
// in jackd2's libjack, even one that finds no server, first frees every client of a server
// that has gone (the program's own, a test's), so the supervisor must not knock with it
// every 250 ms. jackd2 listens on a socket in /dev/shm named after the server and the user
// (without the user where JACK_PROMISCUOUS_SERVER is set); a server in good order removes it
// when it stops, a killed one leaves it behind refusing connections. PipeWire's libjack frees
// nothing, but every open makes and tears down a whole context; its daemon's socket tells as
// cheaply. Any other libjack: "try".
bool ServerMayAnswer(const std::string& serverName) {
    static const std::string version = jack_get_version_string();
    std::vector<std::string> paths;
    if (version.compare(0, 4, "1.9.") == 0) {
        const std::string name = EffectiveServerName(serverName);
        paths = {
            "/dev/shm/jack_" + name + "_" + std::to_string(getuid()) + "_0",
            "/dev/shm/jack_" + name + "_0",
        };
    } else if (PipeWireLibjack()) {
        paths = PipeWireSockets(serverName);
    } else {
        return true;
    }
    for (const std::string& path : paths) {
        sockaddr_un address{};
        if (path.size() >= sizeof address.sun_path) continue;
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;  // cannot tell: let libjack find out
        const bool answered =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (answered) return true;
    }
    return false;
}

// A client of ours, its callbacks not yet set and not activated. Null when no server answers;
// a server is never started.
jack_client_t* OpenClient(const std::string& serverName) {
    auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
    if (serverName.empty()) options = JackNoStartServer;
    jack_status_t status{};
    // No server is an ordinary situation here, not worth libjack's lines on stderr.
    jack_set_error_function(&QuietJackError);
    // The test runs set a name of their own: jackd2 names a client's socket after the client
    // and the user alone, so two programs named alike on two private servers (tests run in
    // parallel) would take each other's socket. Users always see "tempovane".
    const char* testName = std::getenv("TEMPOVANE_TEST_JACK_CLIENT");
    const char* name = testName && *testName ? testName : "tempovane";
    jack_client_t* client = serverName.empty()
                                ? jack_client_open(name, options, &status)
                                : jack_client_open(name, options, &status, serverName.c_str());
    jack_set_error_function(&PrintJackError);
    return client;
}

}  // namespace jackbackend
