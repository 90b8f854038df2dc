// The version that zorhost and its daemon print for --version.
#pragma once

#define ZORHOST_VERSION "1.1.0"
