// The sample archive shipped in examples/, made by the test builder.
#pragma once

#include "archive_builder.h"

namespace test {

Bytes sample_archive_bytes();

}  // namespace test
