#include "platform/jack/jack_ports.h"

#include <jack/midiport.h>

#include <cerrno>
#include <cstring>

#include "platform/midi_backend.h"

namespace jackports {
namespace {

bool IsOurs(const char* port, const std::string& ourPrefix) {
    return std::strncmp(port, ourPrefix.c_str(), ourPrefix.size()) == 0;
}

}  // namespace

std::vector<std::string> OtherClientsPorts(jack_client_t* client, const std::string& ourName,
                                           unsigned long direction) {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, direction);
    if (!ports) return names;
    const std::string ours = ourName + ":";
    for (const char** port = ports; *port; ++port) {
        if (IsOurs(*port, ours)) continue;
        std::string name = TrimDeviceName(*port);
        if (!name.empty()) names.push_back(std::move(name));
    }
    jack_free(ports);
    return names;
}

std::string FindOtherClientsPort(jack_client_t* client, const std::string& ourName,
                                 const std::string& name, unsigned long direction) {
    std::string found;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, direction);
    if (!ports) return found;
    const std::string ours = ourName + ":";
    for (const char** port = ports; *port && found.empty(); ++port) {
        if (IsOurs(*port, ours)) continue;
        if (TrimDeviceName(*port) == name) found = *port;
    }
    jack_free(ports);
    return found;
}

std::string FreePortName(jack_client_t* client, const std::string& ourName,
                         const std::string& wanted, const char* fallback) {
    std::string base = TrimDeviceName(wanted);
    if (base.empty()) base = fallback;
    // JACK limits the whole "client:port" name; leave room for a counter.
    const size_t room = static_cast<size_t>(jack_port_name_size()) - ourName.size() - 8;
    if (base.size() > room) base.resize(room);
    for (int counter = 1; counter < 1000; ++counter) {
        std::string candidate = counter == 1 ? base : base + "-" + std::to_string(counter);
        if (!jack_port_by_name(client, (ourName + ":" + candidate).c_str())) return candidate;
    }
    return "";
}

bool ConnectWithPeer(jack_client_t* client, jack_port_t* ours, const std::string& peer,
                     unsigned long direction) {
    const char* own = jack_port_name(ours);
    const int result = direction == JackPortIsInput ? jack_connect(client, own, peer.c_str())
                                                    : jack_connect(client, peer.c_str(), own);
    return result == 0 || result == EEXIST;
}

jack_port_t* RegisterConnected(jack_client_t* client, const std::string& portName,
                               const std::string& peer, unsigned long direction) {
    // Our port flows the other way from the peer's.
    const unsigned long ourFlow = direction == JackPortIsInput ? JackPortIsOutput : JackPortIsInput;
    jack_port_t* port =
        jack_port_register(client, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, ourFlow, 0);
    if (!port) return nullptr;
    if (!peer.empty() && !ConnectWithPeer(client, port, peer, direction)) {
        jack_port_unregister(client, port);
        return nullptr;
    }
    return port;
}

}  // namespace jackports
