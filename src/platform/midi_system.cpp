#include "platform/midi_system.h"
