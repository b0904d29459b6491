#pragma once
// The program file and its folder. The folder is where the server's default log
// file and the client's settings and session ID files lie; $TARVIQEN_FOLDER, when
// set, replaces it.
#include <string>

// Fills the module path and the module directory; false if the platform fails.
bool GetModulePath();
const std::string& GetModuleFilePath();
// Valid after GetModulePath.
const std::string& GetModuleDirectory();
// Cuts the path at its last '/'; a path without one is left unchanged.
void StripFileName(std::string& path);
