// Hex strings for test vectors.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// hex(s): the bytes that the hex digits of s spell, two digits a byte.
inline std::vector<uint8_t> hex(const std::string& s) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) v.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
  return v;
}

// tohex(p, n): n bytes as upper-case hex digits.
inline std::string tohex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; i++) s += {d[p[i] >> 4], d[p[i] & 15]};
  return s;
}
