// Where the preset access address comes from: command line, embedded slot, INI file, in that
// order; the first source that gives a text wins and later ones are not read.
#pragma once

#include <functional>
#include <string>

// What follows the command line's first argument (the program as it was started), cut where
// the runtime ends argv[0]: after the closing quote when it starts with one, else at the first
// blank or tab; except that a line starting with modulePath itself (any letter case, followed
// by a blank, a tab or the end) loses that whole path, blanks in it included. The rest keeps
// its leading blanks.
std::wstring SkipProgramName(const std::wstring& commandLine, const std::wstring& modulePath);

// The command line without the program part: the first argument skipped (SkipProgramName),
// then every occurrence of modulePath, then of moduleName, removed from the rest (exact,
// case-sensitive), then the double quotes at the end and at the start, then the white space at
// the end and at the start. Pure; empty when nothing is left.
std::wstring CleanCommandLineURL(const std::wstring& commandLine, const std::wstring& modulePath,
                                 const std::wstring& moduleName);

// text through the thread's ANSI code page and back: what the slot's reader sees. Characters
// the code page cannot represent come back replaced; an empty narrow text gives empty.
std::wstring ThroughThreadCodePage(const std::wstring& text);

// "url" of section "updateurl" in the INI file at iniPath, at most 259 characters; empty when
// the file, the section or the key is missing.
std::wstring ReadIniURL(const std::wstring& iniPath);

// The platform behind ResolveUpdateURL, one reader per input, so that tests can give each
// source a chosen text and see which ones were read.
struct UpdateURLSources {
    std::function<std::wstring()> commandLine;      // GetCommandLineW
    std::function<std::wstring()> modulePath;       // GetModulePath
    std::function<std::wstring()> moduleName;       // GetModuleName
    std::function<std::wstring()> moduleDirectory;  // GetModuleDirectory
    std::function<std::wstring()> slot;             // ReadEmbeddedSlot
    std::function<std::wstring(const std::wstring& iniPath)> iniFile;  // ReadIniURL
};

// The running process's own sources.
UpdateURLSources PlatformUpdateURLSources();

// Which source gave the preset host text.
enum class UpdateURLSource { None, CommandLine, EmbeddedSlot, IniFile };

struct ResolvedUpdateURL {
    std::wstring url;  // the preset host text, possibly empty
    UpdateURLSource source = UpdateURLSource::None;
};

// The preset host text and its source: the first source that gives a text (an INI file that
// gives none leaves the source None). Only the embedded slot makes the wizard run unattended.
ResolvedUpdateURL ResolveUpdateURL(const UpdateURLSources& sources);
