// Keys to places (--reduce): a cluster's shuffle, done where the parts
// meet. Given the key records of one set of parts from every shard (as
// --keys wrote them, headers aside), it finds the (CRC-32, size) keys held
// twice or more, across shards or within one, and gives each shard back
// the places of its entries under those keys (archive number, position,
// CRC-32, size: the numbered form --resolve takes). CRC-32 zero never
// counts. Memory: the records and 17 bytes more for each, nothing else.
#pragma once

#include <cstdio>
#include <string>

namespace zorv {

enum class ReduceEnd {
  Done,
  BadInput,  // *why says what is wrong with the keys
  Write,     // writing the output failed: errno
  NoMemory,
};

// Reads the keys from `in` to its end, writes the places to `out`.
ReduceEnd reduce_keys(std::FILE* in, std::FILE* out, std::string* why);

}  // namespace zorv
