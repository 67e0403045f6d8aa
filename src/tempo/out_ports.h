#pragma once

#include <array>

class MidiOutPort;

// The two clock output ports as the tempo engine sees them: OutPort1 first, then OutPort2.
// Entries are null until the main window has created the ports.
using OutPorts = std::array<MidiOutPort*, 2>;
