#pragma once
// The two files the tap can write: a pcap capture of every datagram, and a
// text log of every port's serial side.
#include <memory>
#include <string>
#include <vector>

#include "app/RecordFile.h"

// Null with `error` (one line) when the file cannot be made.
std::unique_ptr<RecordFile> openCapture(const std::string& path, std::string& error);
std::unique_ptr<RecordFile> openSerialLog(const std::string& path, std::string& error);
// The monitor's "Save capture...": the records as one pcap file, written at once.
bool saveCapture(const std::string& path, const std::vector<const TapRecord*>& records, std::string& error);

// "2026-03-01 14:02:03.117 COM7 tx 1B 24 56\n": local time, the port, tx for
// what the program wrote (towards the DTUs), rx for what it was given.
void appendSerialLogLine(const TapRecord& r, std::string& out);
// Local wall-clock time with milliseconds: "14:02:03.117", with the date in front when asked.
std::string tapTimeText(int64_t usec, bool withDate);
