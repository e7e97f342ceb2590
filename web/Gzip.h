#pragma once
// The gzip form of a body (zlib, best compression: a body is compressed
// once per change and sent many times).
#include <string>
#include <string_view>

std::string Gzip(std::string_view data);
// The inverse, for tests; empty when the data is not gzip.
std::string Gunzip(std::string_view data);
