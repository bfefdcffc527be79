// The board a run is bound to. Boards of one kind share their USB IDs, so a board is known by
// the USB port it hangs on: the one LARKSPUR_BOARD names, and once a device has been taken,
// the port it was found on, where the run looks for its board from then on.
#pragma once

#include <string>
#include <vector>

// A device's port in every name the platform has for it: on Linux the sysfs name (1-3.2)
// and udev's ID_PATH; on Windows the location paths of its USB device. Empty: not known.
using port_names = std::vector<std::string>;

// False, after one line on standard error, when LARKSPUR_BOARD is set but names no USB
// port: then no device may be opened.
bool board_choice_valid();
// True while no board is chosen and none taken: a search then counts every candidate.
bool board_port_unbound();
// For a route that cannot tell where its devices hang: false, after one line on standard
// error, when a board is chosen (taking whichever board is there could be another's).
bool board_choice_without_ports(const char* route);
// Whether a device on this port may be the run's board now.
bool board_port_allowed(const port_names& port);
// The run has taken a device on this port; `others` are the ports of the other devices that
// matched in the same search. From now on only this port is searched.
void board_port_taken(const port_names& port, const std::vector<port_names>& others);
// The route found no board: with a board chosen, one line on standard error naming it.
void board_port_missing();

// The rule behind board_port_allowed: `name` is the port `chosen` or a port below it.
bool port_at_or_below(const std::string& name, const std::string& chosen);
// The order in which candidates are offered: by port number, bus first ("1-2" before "1-10");
// a device whose port is unknown comes last.
bool port_before(const port_names& a, const port_names& b);
// LARKSPUR_BOARD's value as it is compared, or empty when it names no USB port: an ID_PATH
// loses the interface suffix that udev puts on an interface's ID_PATH (":1.0").
std::string port_choice_normalised(const std::string& value);
