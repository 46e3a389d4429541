// How a device is named wherever it is spoken of: in lines on the terminal,
// on the status board and in the summary; and the one rule for every name
// that outputs carry.
#pragma once

#include <cstdint>
#include <string>

#include "controller/common/hex.h"
#include "controller/common/printable.h"
#include "controller/common/utf8.h"

namespace controller {

// What qdx-host's own events name as their device.
constexpr char kOwnEventDevice[] = "qdx-host";

// The site file's name for a device, its type and its data id.
struct DeviceName {
  std::string name;
  std::string type;
  std::uint32_t data_id = 0;
};

// "NAME (data id N)", how every line about a device names it.
inline std::string Who(const std::string& name, std::uint32_t data_id) {
  return name + " (data id " + std::to_string(data_id) + ")";
}
inline std::string Who(const DeviceName& d) { return Who(d.name, d.data_id); }

// What is wrong with a name (a device's, a target's), or empty: it reaches
// terminal lines and the journal, where a control character would forge a
// line, and JSON and metric labels, which must be UTF-8.
inline std::string NameFault(const std::string& name) {
  if (name.empty()) return "must be a non-empty text";
  const std::string control = ControlCharacterIn(name);
  if (!control.empty()) return "holds the control character " + control;
  const std::size_t bad = InvalidUtf8At(name);
  if (bad == std::string::npos) return std::string();
  std::string byte = "0x";
  AppendHexByte(byte, static_cast<unsigned char>(name[bad]), HexCase::kUpper);
  return "is not valid UTF-8 (byte " + byte + " at offset " + std::to_string(bad) +
         "); write the file in UTF-8";
}

}  // namespace controller
