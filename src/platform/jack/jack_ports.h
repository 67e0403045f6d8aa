#pragma once

#include <jack/jack.h>

#include <string>
#include <vector>

// What the JACK output and input sides do alike with other clients' ports: list them, find one
// by the name the user picked, give our own port a free name, and connect the two. `direction`
// is the flag of the other client's ports we pair with: JackPortIsInput for our outputs'
// destinations, JackPortIsOutput for our inputs' sources.
namespace jackports {

// Other clients' MIDI ports of that direction, JACK's full names trimmed as the lists show them.
std::vector<std::string> OtherClientsPorts(jack_client_t* client, const std::string& ourName,
                                           unsigned long direction);

// The full JACK name of the other client's port listed as `name`, or "" when it is not there.
std::string FindOtherClientsPort(jack_client_t* client, const std::string& ourName,
                                 const std::string& name, unsigned long direction);

// A short name for a new port of ours: the wanted one trimmed (or `fallback`), with "-2", "-3"...
// when taken, cut to what JACK allows. "" when no name is free.
std::string FreePortName(jack_client_t* client, const std::string& ourName,
                         const std::string& wanted, const char* fallback);

// Connects our port with the other client's port, in the direction our port flows. A connection
// that exists already counts as made.
bool ConnectWithPeer(jack_client_t* client, jack_port_t* ours, const std::string& peer,
                     unsigned long direction);

// Registers a MIDI port of ours named `portName` and connects it with `peer` (nothing to connect
// for an empty peer: a virtual port). Nothing is left registered when either step fails.
jack_port_t* RegisterConnected(jack_client_t* client, const std::string& portName,
                               const std::string& peer, unsigned long direction);

}  // namespace jackports
