// Generated mail for the benchmarks (not part of the system): a fixed-seed
// mix of message sizes as real mail has them, and messages of those sizes
// with the headers and MIME structure of ordinary mail.  The same generator
// state gives the same messages on every run.  Header-only; nothing fails.
#pragma once

#include <cstddef>
#include <random>
#include <string>

// Sizes: 70 % 2-20 KB, 25 % 20-100 KB, 5 % 100-500 KB.
inline size_t bench_pick_size(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 70) return 2048 + rng() % (18 * 1024);
  if (r < 95) return 20 * 1024 + rng() % (80 * 1024);
  return 100 * 1024 + rng() % (400 * 1024);
}

// Message n of about size bytes with CRLF line ends (the stored form):
// relay headers, a text body, and above 30 KB a base64 attachment.
inline std::string bench_make_message(std::mt19937_64& rng, size_t size, unsigned n) {
  std::string m;
  for (int i = 0; i < 4; ++i)
    m += "Received: from relay" + std::to_string(rng() % 50) + ".example.net (relay.example.net [192.0.2." +
         std::to_string(rng() % 250) + "])\r\n\tby mx.example.org with ESMTPS id " + std::to_string(rng()) +
         "\r\n\tfor <user@example.org>; Tue, 2 Jan 2024 09:00:0" + std::to_string(i) + " +0000\r\n";
  m += "From: \"Sender " + std::to_string(n) + "\" <sender" + std::to_string(n % 97) + "@example.com>\r\n";
  m += "To: user@example.org, \"Other Person\" <other@example.org>\r\n";
  m += "Subject: =?UTF-8?Q?Message_n=C2=B0" + std::to_string(n) + "?=\r\n";
  m += "Date: Tue, 2 Jan 2024 09:00:00 +0000\r\nMessage-ID: <" + std::to_string(rng()) + "@example.com>\r\n";
  m += "MIME-Version: 1.0\r\n";
  bool attach = size > 30 * 1024;
  if (attach) {
    m += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(n) + "\"\r\n\r\n--b" + std::to_string(n) +
         "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    for (int i = 0; i < 20; ++i) m += "Some text of the message, line " + std::to_string(i) + ".\r\n";
    m += "--b" + std::to_string(n) +
         "\r\nContent-Type: application/octet-stream; name=\"f.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line(76, 'A');
    while (m.size() + 80 < size) {
      for (char& c : line) c = b64[rng() % 64];
      m += line + "\r\n";
    }
    m += "--b" + std::to_string(n) + "--\r\n";
  } else {
    m += "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    while (m.size() < size)
      m += "The quick brown fox jumps over the lazy dog, " + std::to_string(rng() % 1000) + ".\r\n";
  }
  return m;
}
