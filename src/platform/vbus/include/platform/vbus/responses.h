#pragma once
// What the client backends take from the server's lines, kept apart from the sockets so that
// any line a peer may send can be tried against them. Each reader checks every field's type:
// a line of the wrong shape is refused (false), never thrown on.

#include "platform/device_events.h"
#include "platform/volumes.h"

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::vbus {

// "ok": true in an object.
bool isOk(const Json::Value& response);

// The "data" of a read answer, cut to max bytes; false (with error) when it is missing or
// not hexadecimal.
bool readDataOf(const Json::Value& response, size_t max, std::vector<uint8_t>& bytes, std::string& error);
// The "written" count of a write answer: 0 to max, else -1.
int writtenOf(const Json::Value& response, size_t max);
// The "handle" of an open answer; false when missing or not an integer.
bool handleOf(const Json::Value& response, Json::Int64& handle);

// The hardware ids of a list answer (hwid text, else made from vid and pid).
bool hardwareIdsOf(const Json::Value& response, std::vector<std::string>& ids);
// The volumes of a list answer; entries without a root text are left out.
bool volumesOf(const Json::Value& response, std::vector<VolumeInfo>& volumes);
// One event line; false for an event this client does not know.
bool eventOf(const Json::Value& message, DeviceEvent& event);

} // namespace platform::vbus
