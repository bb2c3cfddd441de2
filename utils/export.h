// Symbol visibility for the project's shared libraries. Everything is built with
// -fvisibility=hidden; a class or function that other libraries or the host use carries one of
// these. Exception types must be exported so that their type information is shared across
// libraries and a `catch` in the host matches them.
#pragma once

#define QUERN_VISIBLE __attribute__((visibility("default")))
#define QUERN_PLATFORM_API QUERN_VISIBLE
#define QUERN_ENGINES_API QUERN_VISIBLE
#define QUERN_STAND_IN_API QUERN_VISIBLE
#define DUALIS_API QUERN_VISIBLE
#define NIGHTJAR_API QUERN_VISIBLE
#define VAD_API QUERN_VISIBLE
#define QUERN_POCKETSPHINX_API QUERN_VISIBLE
#define QUERN_STREAM_API QUERN_VISIBLE
