#pragma once
// Recording a session: every exchange of this process with its devices (HID opens, writes,
// reads and closes, USB and volume listings, volume steps, device-change events) written as
// it happens to a file of JSON lines in the virtual bus's terms, whichever backend serves
// the calls. A drive's tree is written on arrival as names, sizes and hashes, never its
// contents. The recording never stops the program: a failed write is reported once.

#include <functional>
#include <string>

namespace platform {

// Starts recording to path from now on: a file that exists is refused unless overwrite.
// program names the recording program in the header. False with a sentence in error.
bool startSessionRecording(const std::string& path, bool overwrite, const std::string& program, std::string& error);

// Told (once) when the recording cannot be written on. Without a handler the text goes to
// the debugger output.
void setSessionRecordingFailureHandler(std::function<void(const std::string& message)> handler);

// Ends the recording (the file stays). Calls made afterwards are not recorded.
void stopSessionRecording();

bool sessionRecordingActive();

} // namespace platform
