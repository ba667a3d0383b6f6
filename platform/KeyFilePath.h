// Where key files live: <key folder>Clefs/<name>.<year text>, the key folder a plain prefix
// ("" for the current folder, else ending with "/"). Every key path is built here.
#ifndef VELDORAN_PLATFORM_KEYFILEPATH_H
#define VELDORAN_PLATFORM_KEYFILEPATH_H

#include <string>

#include "platform/ResultCodes.h"

namespace veldoran {

// The folder under the key folder that holds the key files.
inline constexpr char kKeyFilesFolder[] = "Clefs";

// Writes the key file path into path (kMaxPathLength + 1 bytes): the folder, "Clefs/", the name
// and, when yearText is not null, a full stop and the year text. False, with path not to be
// used, when it would be longer than kMaxPathLength or the folder or the name is null.
bool KeyFilePath(const char* keyFolder, const char* name, const char* yearText, char* path);

// The same path at any length, for a program that shows it or makes the file itself.
std::string KeyFilePathText(const std::string& keyFolder, const std::string& name,
                            const char* yearText);

}  // namespace veldoran

#endif
