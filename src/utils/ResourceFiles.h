#pragma once

#include <string>

// File helpers shared by the preparation and the reading side of ResourceManager.
namespace orsa::resource {

std::string errnoText(int err);
bool fileExists(const std::string& path);
// Reads a whole file; false with errno's text when it cannot.
bool readWholeFile(const std::string& path, std::string& out, std::string* error);

}  // namespace orsa::resource
