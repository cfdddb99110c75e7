// A stand-in for the RAW developer: records every SDK call, fails a chosen call with a chosen
// code, and develops a deterministic pattern so that output can be checked byte for byte.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "edsdk/EDSDKErrors.h"
#include "edsdk/EdsBackend.h"

class FakeEdsBackend final : public EdsBackend {
 public:
  struct Call {
    std::string op;                  // "CreateFileStream", "GetImage", ...
    std::string path;                // file name for CreateFileStream, else empty
    std::vector<std::int64_t> args;  // numeric arguments in call order (selectors, sizes, ...)
  };

  // The size of every picture, unless a path has a size of its own.
  void SetDefaultSize(std::int32_t width, std::int32_t height);
  void SetSize(const std::string& path, std::int32_t width, std::int32_t height);
  // Makes the n-th call (1-based, counted over the whole run) of op return code.
  void FailAt(const std::string& op, EdsError code, int occurrence = 1);
  // Makes CreateFileStream fail with code for this path (every time).
  void FailPath(const std::string& path, EdsError code);
  // Each GetImage sleeps this long first (to hold workers busy in batch tests).
  void SetDevelopDelay(std::chrono::milliseconds delay);
  // Runs hook at the start of every GetImage, outside the fake's lock (a test holds a
  // conversion there until it has seen what it waits for).
  void OnDevelop(std::function<void()> hook);
  // Makes GetLength report fewer bytes than were developed.
  void SetShortLength(bool shortLength);
  // Runs hook inside InitializeSDK (a program under test starts its work from there).
  void OnInitialize(std::function<void()> hook);

  std::vector<Call> Calls() const;
  std::vector<std::string> Ops() const;  // just the op names, in order
  int LiveObjects() const;               // objects obtained and not yet released
  int InitializeCount() const { return initialized_; }
  int TerminateCount() const { return terminated_; }

  // The byte at offset i of every developed pattern.
  static std::uint8_t PatternByte(std::size_t i);

  EdsError InitializeSDK() override;
  EdsError TerminateSDK() override;
  EdsError CreateFileStream(const char* fileName, EdsFileCreateDisposition disposition,
                            EdsAccess access, EdsStreamRef* outStream) override;
  EdsError CreateImageRef(EdsStreamRef stream, EdsImageRef* outImage) override;
  EdsError SetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                           EdsUInt32 dataSize, const void* data) override;
  EdsError GetImageInfo(EdsImageRef image, EdsImageSource source, EdsImageInfo* outInfo) override;
  EdsError CreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream) override;
  EdsError GetImage(EdsImageRef image, EdsImageSource source, EdsTargetImageType imageType,
                    EdsRect sourceRect, EdsSize destSize, EdsStreamRef outStream) override;
  EdsError GetPointer(EdsStreamRef stream, void** outPointer) override;
  EdsError GetLength(EdsStreamRef stream, EdsUInt64* outLength) override;
  EdsUInt32 Release(EdsBaseRef ref) override;

 private:
  struct Object {
    int kind;  // 0 file stream, 1 image, 2 memory stream
    std::string path;
    bool linear = false;
    std::vector<std::uint8_t> data;
    std::uint64_t capacity = 0;
  };
  EdsError Record(Call call);  // returns the injected failure for this call, if any
  Object* Find(EdsBaseRef ref, int kind);

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::map<std::string, int> counts_;
  std::map<std::pair<std::string, int>, EdsError> failures_;
  std::map<std::string, EdsError> failingPaths_;
  std::map<std::string, std::pair<std::int32_t, std::int32_t>> sizes_;
  std::pair<std::int32_t, std::int32_t> defaultSize_{4, 3};
  std::map<EdsObject*, std::unique_ptr<Object>> objects_;
  std::chrono::milliseconds developDelay_{0};
  bool shortLength_ = false;
  std::function<void()> onInitialize_;
  std::function<void()> onDevelop_;
  std::atomic<int> initialized_{0};
  std::atomic<int> terminated_{0};
};
