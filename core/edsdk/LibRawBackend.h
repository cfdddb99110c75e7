// The default SDK backend: opens and develops RAW files with LibRaw. LibRawBackend.cpp is the
// only file that knows LibRaw; everything else sees the EdsBackend interface.
#pragma once

#include <memory>

#include "EdsBackend.h"

class LibRawBackend final : public EdsBackend {
 public:
  LibRawBackend();
  ~LibRawBackend() override;
  LibRawBackend(const LibRawBackend&) = delete;
  LibRawBackend& operator=(const LibRawBackend&) = delete;

  EdsError InitializeSDK() override;
  EdsError TerminateSDK() override;
  EdsError CreateFileStream(const char* fileName, EdsFileCreateDisposition disposition,
                            EdsAccess access, EdsStreamRef* outStream) override;
  EdsError CreateImageRef(EdsStreamRef stream, EdsImageRef* outImage) override;
  EdsError SetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                           EdsUInt32 dataSize, const void* data) override;
  EdsError GetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                           EdsUInt32 dataSize, void* data) override;
  EdsError GetImageInfo(EdsImageRef image, EdsImageSource source, EdsImageInfo* outInfo) override;
  EdsError CreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream) override;
  EdsError GetImage(EdsImageRef image, EdsImageSource source, EdsTargetImageType imageType,
                    EdsRect sourceRect, EdsSize destSize, EdsStreamRef outStream) override;
  EdsError SetProgressCallback(EdsBaseRef ref, EdsProgressCallback callback,
                               EdsProgressOption option, EdsVoid* context) override;
  EdsError GetPointer(EdsStreamRef stream, void** outPointer) override;
  EdsError GetLength(EdsStreamRef stream, EdsUInt64* outLength) override;
  EdsUInt32 Release(EdsBaseRef ref) override;

 private:
  class Registry;
  std::unique_ptr<Registry> registry_;
};
