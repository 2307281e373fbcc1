// The runs of bytes a framer takes at once, checked against the framer fed
// one byte at a time (GoogleTest checks).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "symax_test_util.h"

// The runs a framer takes, checked against `feed`: the outcome of a
// string's bytes read in any other way (split in two at every point, then in
// reads of 1, 2, 3 and 7 bytes) is the outcome of its bytes one by one.
// `outcome` feeds the string to a fresh link as its feeder says.
using Feeder = std::function<void(LinkHandle *, const Bytes &)>;
inline void expect_reads_act_as_bytes(size_t length, const std::function<std::string(const Feeder &)> &outcome) {
  std::string by_byte = outcome([](LinkHandle *link, const Bytes &w) { feed(link, w); });
  auto check = [&](const std::string &how, const Feeder &reads) {
    SCOPED_TRACE(how);
    EXPECT_EQ(by_byte, outcome(reads));
  };
  for (size_t split = 0; split <= length; split++)
    check("split at " + std::to_string(split), [split](LinkHandle *link, const Bytes &w) {
      receive_framer_bytes(link, w.data(), split);
      receive_framer_bytes(link, w.data() + split, w.size() - split);
    });
  for (size_t chunk : {1, 2, 3, 7})
    check("reads of " + std::to_string(chunk), [chunk](LinkHandle *link, const Bytes &w) {
      for (size_t i = 0; i < w.size(); i += chunk) receive_framer_bytes(link, w.data() + i, std::min(chunk, w.size() - i));
    });
}
