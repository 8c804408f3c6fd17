// The release version: the one place it is written. The wheel's metadata reads it from here
// and the extension carries it as an identification string.
#pragma once

#define VOREL_VERSION "0.5.0"
