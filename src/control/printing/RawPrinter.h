// Raw printing: bytes for the printer's own language (ESC/POS, ZPL, EPL, ...)
// that go to it unchanged, through a CUPS queue as the raw type or straight
// to a printer's socket (port 9100 and the like) that the user has listed in
// control.json:
//   {"rawPrinters": ["socket://192.168.1.50:9100", "socket://labels.local:9100"]}
#pragma once

#include <json/json.h>

#include <string>

// The job's "raw" member as bytes: a base64 string, or an object with one of
// "base64", "hex" (pairs of hex digits, blanks allowed) or "text" (with
// "encoding", an iconv name; UTF-8 when absent; characters the encoding lacks
// become '?'). At most 64 MiB. False with a message.
bool ReadRawContent(const Json::Value& raw, std::string* bytes, std::string* error);

// For a printer named "socket://host:port": true with "host:port" when the
// user listed exactly that address in control.json; false with a message
// otherwise. Names that do not start with "socket://" are not addresses: false
// with an empty message.
bool AllowedRawSocket(const std::string& printer, std::string* hostPort, std::string* error);

// Connects to host:port and writes every byte, each step within timeoutMs;
// then closes its side and waits briefly for the printer to close too.
bool SendToSocket(const std::string& hostPort, const std::string& bytes, int timeoutMs, std::string* error);
