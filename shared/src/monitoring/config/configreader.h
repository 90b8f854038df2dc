// The reader kept for request texts (reader.cpp), as far as the platform's
// stop and tests need to reach it.
#pragma once

#include <cstddef>

/// Releases the reader kept for request texts.
void ReleaseRequestReader();
/// Sets what the request reader may allocate in the parser library (256 MiB
/// unless a test lowers it to reach the limit cheaply).
void SetRequestReaderMemoryForTest(std::size_t bytes);
