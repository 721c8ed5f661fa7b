// Which OpenSSL the process uses. The library is linked (OpenSSL 3); the
// generation selector and the failure list keep their meaning: asking for an
// older generation fails the load and names the library files it would need.
#pragma once

#include <cstdint>
#include <string>

// The OpenSSL API generations a caller can ask for.
enum TIdOpenSSLAPIGeneration : uint8_t { osgAPI_1_0 = 0, osgAPI_1_1 = 1, osgAPI_3_0 = 2 };

// Set before the first context is made; the default is what the build links.
TIdOpenSSLAPIGeneration IdOpenSSLAPIGeneration();
void IdOpenSSLSetAPIGeneration(TIdOpenSSLAPIGeneration AValue);
// The folder the libraries would be loaded from ("" = the system's search);
// stored with a trailing '/'.
std::string IdOpenSSLLibPath();
void IdOpenSSLSetLibPath(const std::string& AValue);

// Loads once per process, under a lock; true when usable. A failed load is
// tried again on the next call (the generation may have changed).
bool LoadOpenSSLLibrary();
bool IdSSLOpenSSLLoaded();
// The failure list of the last load: one "Failed to load %s." per line.
std::string WhichFailedToLoad();
// The version text of the library in use ("" before it is loaded).
std::string OpenSSLVersion();
// The message of EIdOSSLCouldNotLoadSSLLibrary: "Could not load SSL library."
// and, when something failed, the folder, version and failure list.
std::string CouldNotLoadSSLLibraryMessage();
