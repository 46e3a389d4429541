// The worked example a UPS sends, shared by tests, fuzz targets and benchmarks.
#pragma once

namespace test_support {

// A reply to "Q1\r": 230.0 V in, 229.5 V fault, 230.0 V out, 34 % load,
// 50.0 Hz, 2.05 V per cell, 27.0 °C, status bits 00001001.
constexpr char kReply[] = "(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r";
// The same line without its start byte and CR, as the decoder sees it.
constexpr char kReplyText[] = "230.0 229.5 230.0 034 50.0 2.05 27.0 00001001";
constexpr unsigned kReplyLength = sizeof(kReply) - 1;

}  // namespace test_support
