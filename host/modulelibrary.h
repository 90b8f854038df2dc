// A module loaded with dlopen and its seven entry points, as a host process
// finds them by their exported names.
#pragma once

#include "zorexpected.h"
#include "zormodule.h"

#include <string>

class ModuleLibrary {
public:
    /// Loads the library and finds every entry point.
    zor::Expected<void> load(const std::string& path);
    /// Closes the library and forgets its entry points. The appliance's host
    /// never does this; a program that loads many copies of a module does.
    void unload();
    bool loaded() const { return _handle != nullptr; }

    OpenSessionFunc openSession = nullptr;
    CloseSessionFunc closeSession = nullptr;
    RequestEntryFunc onGet = nullptr;
    RequestEntryFunc onSet = nullptr;
    RequestEntryFunc onAdd = nullptr;
    RequestEntryFunc onDel = nullptr;
    RequestEntryFunc onCommit = nullptr;

    /// The entry point that serves an access type; null for an unknown type.
    RequestEntryFunc entryFor(int type) const;

private:
    void* _handle = nullptr;
};

/// The module a host process loads by default: libmonitor.so in the folder
/// of the running executable (through /proc/self/exe), so that it is found
/// whatever the working directory, in the build folder and installed alike.
std::string defaultModulePath();
