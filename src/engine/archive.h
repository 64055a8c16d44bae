// The current archive: open, create and close.
#pragma once

#include <cstddef>

namespace gzarc {

// The reset that opening an archive performs: callbacks (see ResetCallbacks),
// PackLevel and RelativePath.
void ResetArchiveState();

// True when the name has an extension: a last "." not followed by a
// backslash. A name ending in "." has the empty extension.
bool HasExtension(const char* name);

// The name, or the name with "." and the extension appended when it has no
// extension of its own. False when the result does not fit the buffer.
bool MakeArchiveName(const char* name, const char* extension, char* result,
                     std::size_t capacity);

// Reads three single bytes from the start of the file: 1F 8B 08.
bool ProbeGzipHeader(int fd);

}  // namespace gzarc
