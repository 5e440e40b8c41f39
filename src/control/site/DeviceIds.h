// Device identifiers as a page gets them. machine-id(5) asks applications not
// to hand out the machine id itself but a keyed hash of it, so that what one
// application (here: one site) learns cannot be matched with another's. Each
// site gets its own stable value: the same site always the same one, two
// sites values that cannot be matched, and neither the raw identifier.
// control.json {"deviceIdentifiers": "raw"} hands out the raw values instead
// (for a machine whose own intranet relies on them).
#pragma once

#include <string>

// HMAC-SHA256 keyed by the machine id over the purpose, the site's origin and
// raw: 32 lower-case hex digits (16 bytes) for the CPU serial number stand-in,
// "" when the machine id is "".
std::string SiteCpuSerial(const std::string& machineId, const std::string& origin);
// The same for a hardware address ("AA-BB-CC-DD-EE-FF"): six bytes in that
// form, marked as a locally administered unicast address; "" for "".
std::string SiteMacAddress(const std::string& mac, const std::string& machineId, const std::string& origin);
// True when control.json says "deviceIdentifiers": "raw".
bool RawDeviceIdsAllowed();
