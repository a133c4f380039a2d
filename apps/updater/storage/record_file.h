#pragma once
// The small records the updater keeps beside a held backup (where it came from, the steps an
// update still owes the device): "key=value" lines, replaced whole so that a reader sees the
// old record or the new one, never a part of either.

#include <map>
#include <string>

// The record's keys and values; empty when the file cannot be read. Lines without '=' are skipped.
std::map<std::string, std::string> readRecordFile(const std::string& path);

// Writes text through a temporary name beside path and renames it into place. False when it
// could not be written; the old record (if any) is then untouched.
bool replaceRecordFile(const std::string& path, const std::string& text);
