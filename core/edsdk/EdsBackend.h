// The seam behind the Eds* functions: one backend develops RAW files (LibRaw by default); tests
// put a fake in its place to record calls and fail a chosen step.
#pragma once

#include <memory>

#include "EDSDKErrors.h"
#include "EDSDKTypes.h"

class EdsBackend {
 public:
  virtual ~EdsBackend() = default;

  virtual EdsError InitializeSDK() = 0;
  virtual EdsError TerminateSDK() = 0;
  virtual EdsError CreateFileStream(const char* fileName, EdsFileCreateDisposition disposition,
                                    EdsAccess access, EdsStreamRef* outStream) = 0;
  virtual EdsError CreateImageRef(EdsStreamRef stream, EdsImageRef* outImage) = 0;
  virtual EdsError SetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                                   EdsUInt32 dataSize, const void* data) = 0;
  // Backends without readable properties keep this.
  virtual EdsError GetPropertyData(EdsBaseRef /*ref*/, EdsPropertyID /*property*/,
                                   EdsInt32 /*param*/, EdsUInt32 /*dataSize*/, void* /*data*/) {
    return EDS_ERR_PROPERTIES_UNAVAILABLE;
  }
  virtual EdsError GetImageInfo(EdsImageRef image, EdsImageSource source,
                                EdsImageInfo* outInfo) = 0;
  virtual EdsError CreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream) = 0;
  virtual EdsError GetImage(EdsImageRef image, EdsImageSource source, EdsTargetImageType imageType,
                            EdsRect sourceRect, EdsSize destSize, EdsStreamRef outStream) = 0;
  // Backends that report no progress keep this; callers then use the stream once it is filled.
  virtual EdsError SetProgressCallback(EdsBaseRef /*ref*/, EdsProgressCallback /*callback*/,
                                       EdsProgressOption /*option*/, EdsVoid* /*context*/) {
    return EDS_ERR_NOT_SUPPORTED;
  }
  virtual EdsError GetPointer(EdsStreamRef stream, void** outPointer) = 0;
  virtual EdsError GetLength(EdsStreamRef stream, EdsUInt64* outLength) = 0;
  // Returns the remaining reference count (0 once the object is freed), as the SDK does.
  virtual EdsUInt32 Release(EdsBaseRef ref) = 0;
};

// Installs the backend the Eds* functions dispatch to; nullptr restores the LibRaw backend.
// Swap backends only while no SDK call is under way.
void SetEdsBackend(std::shared_ptr<EdsBackend> backend);
EdsBackend& CurrentEdsBackend();

// The default backend.
std::shared_ptr<EdsBackend> MakeLibRawBackend();
