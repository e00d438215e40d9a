#pragma once

// Debug output of the desktop framework: messages go through Qt's message handler,
// tagged with a debug area, and debug/info output can be switched off per area.
//
// Switching areas:
//   - JYX_DEBUG_OFF: comma-separated area numbers to silence, or "all";
//   - JYX_DEBUG_ON: comma-separated area numbers to enable (also those that are off by
//     default); an area named here is on even when JYX_DEBUG_OFF says "all";
//   - JyxDebug::setAreaEnabled(): overrides both variables for one area.
// The variables are read once, at first use, and again by resetAreaSettings().
// Warnings, critical and fatal messages are never silenced.

#include "jyxcore_export.h"

#include <QtCore/QDebug>

#include <string>

namespace JyxDebug {

// True when a message of `type` for debug `area` would be discarded: when `condition`
// is false, or when the area is switched off for debug and info output. An area that
// no setting names is off when `offByDefault` is true and on otherwise.
JYXCORE_EXPORT bool hasNullOutput(QtMsgType type, bool condition, int area, bool offByDefault);

// Switches debug and info output of one area on or off, ahead of the environment.
JYXCORE_EXPORT void setAreaEnabled(int area, bool enabled);

// Forgets every setAreaEnabled() call and reads the environment variables again.
JYXCORE_EXPORT void resetAreaSettings();

// Source file name as callers pass it: `path` with the build's source directory
// prefix (JYX_BUILD_PREFIX_LENGTH characters) cut off. A path shorter than the prefix is
// returned whole, so a file name from elsewhere never points past its end.
constexpr const char *stripBuildPrefix(const char *path, std::size_t prefixLength)
{
    return (path && std::char_traits<char>::length(path) > prefixLength) ? path + prefixLength
                                                                           : path;
}

} // namespace JyxDebug

// A stream for one message of `type` in debug `area`; the message is emitted through
// Qt's message handler when the last copy of the stream is destroyed, with `file`,
// `line`, `function` and the category "jyx.area<N>" in its QMessageLogContext. `file`
// and `function` must stay valid until then (string literals do). A stream for a
// silenced area discards its text. Fatal messages are emitted as critical ones: a
// stream never ends the process.
JYXCORE_EXPORT QDebug jyxDebugStream(QtMsgType type, int area, const char *file, int line,
                                     const char *function);

#ifdef JYX_BUILD_PREFIX_LENGTH
// This translation unit's file name, relative to the source directory.
#define JYX_SOURCE_FILE JyxDebug::stripBuildPrefix(__FILE__, JYX_BUILD_PREFIX_LENGTH)
#endif
