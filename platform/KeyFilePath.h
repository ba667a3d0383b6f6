// Where key files live: <key folder>Clefs/<name>.<year text>, the key folder a plain prefix
// ("" for the current folder, else ending with "/"). Every key path is built here.
#ifndef VELDORAN_PLATFORM_KEYFILEPATH_H
#define VELDORAN_PLATFORM_KEYFILEPATH_H

#include "platform/ResultCodes.h"

namespace veldoran {

// Writes the key file path into path (kMaxPathLength + 1 bytes): the folder, "Clefs/", the name
// and, when yearText is not null, a full stop and the year text. False, with path not to be
// used, when it would be longer than kMaxPathLength or the folder or the name is null.
bool KeyFilePath(const char* keyFolder, const char* name, const char* yearText, char* path);

}  // namespace veldoran

#endif
