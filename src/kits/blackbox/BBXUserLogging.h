#pragma once
// Custom keys, log lines, recorded errors and custom exceptions: bounded
// record files in the current report, written on the logging queue.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/Error.h"
#include "kits/blackbox/crashtime/BBXContext.h"

using BBXRecordWriter = std::function<void(BBXFile*)>;

// Paths and limits of the five stores, from the context input (set-up).
void BBXUserLoggingSetupStores(const BBXContextInitData* input);
// Current files, counters and the log clock.
void BBXUserLoggingInitializeStorage();

void BBXUserLoggingRecordUserKeyValue(const std::string& key, const std::optional<std::string>& value);
void BBXUserLoggingRecordInternalKeyValue(const std::string& key, const std::optional<std::string>& value);
void BBXUserLoggingRecordKeyValue(const std::string& key, const std::optional<std::string>& value,
                                  const BBXKVStore* store, std::uint32_t* counter);
// Writes an internal key at once on the calling thread (callers already on
// the logging queue).
void BBXUserLoggingWriteInternalKeyValue(const std::string& key, const std::optional<std::string>& value);
void BBXUserLoggingWriteKeyValue(const std::string& key, const std::optional<std::string>& value,
                                 const BBXKVStore* store, std::uint32_t* counter);
void BBXUserLoggingCompactKVEntries(const BBXKVStore* store);

void BBXUserLoggingRecordLogMessage(const std::string& message);
// An error with its domain, code and user information plus extra entries
// (an object of strings or values); the current call stack goes with it.
void BBXUserLoggingRecordError(const base::Error& error, const nlohmann::json& additionalInfo = nullptr);

void BBXUserLoggingWriteAndCheckABFiles(const BBXABStore* store, const char** currentFile, const BBXRecordWriter& writer);
void BBXUserLoggingCheckAndSwapABFiles(const BBXABStore* store, const char** currentFile, std::uint64_t size);
