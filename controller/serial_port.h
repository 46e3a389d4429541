// Serial-line helpers of the controller.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// Opens path raw, 8 data bits, no parity, 1 stop bit at the given speed, non-blocking.
// Throws std::runtime_error naming the port and the reason on failure.
int OpenSerialPort(const std::string& path, int baud);

// Writes every byte, retrying on EINTR, EAGAIN and short writes; false on error.
bool WriteAll(int fd, const unsigned char* data, std::size_t len);

}  // namespace host
