#include "EDSDKApi.h"

#include "EdsBackend.h"

namespace {

std::shared_ptr<EdsBackend>& InstalledBackend() {
  static std::shared_ptr<EdsBackend> backend = MakeLibRawBackend();
  return backend;
}

}  // namespace

void SetEdsBackend(std::shared_ptr<EdsBackend> backend) {
  InstalledBackend() = backend ? std::move(backend) : MakeLibRawBackend();
}

EdsBackend& CurrentEdsBackend() {
  return *InstalledBackend();
}

EdsError EdsInitializeSDK() {
  return CurrentEdsBackend().InitializeSDK();
}
EdsError EdsTerminateSDK() {
  return CurrentEdsBackend().TerminateSDK();
}

EdsError EdsCreateFileStream(const char* fileName, EdsFileCreateDisposition createDisposition,
                             EdsAccess desiredAccess, EdsStreamRef* outStream) {
  return CurrentEdsBackend().CreateFileStream(fileName, createDisposition, desiredAccess,
                                              outStream);
}

EdsError EdsCreateImageRef(EdsStreamRef stream, EdsImageRef* outImage) {
  return CurrentEdsBackend().CreateImageRef(stream, outImage);
}

EdsError EdsSetPropertyData(EdsBaseRef ref, EdsPropertyID propertyID, EdsInt32 param,
                            EdsUInt32 propertySize, const void* propertyData) {
  return CurrentEdsBackend().SetPropertyData(ref, propertyID, param, propertySize, propertyData);
}

EdsError EdsGetPropertyData(EdsBaseRef ref, EdsPropertyID propertyID, EdsInt32 param,
                            EdsUInt32 propertySize, void* propertyData) {
  return CurrentEdsBackend().GetPropertyData(ref, propertyID, param, propertySize, propertyData);
}

EdsError EdsGetImageInfo(EdsImageRef image, EdsImageSource imageSource, EdsImageInfo* outInfo) {
  return CurrentEdsBackend().GetImageInfo(image, imageSource, outInfo);
}

EdsError EdsCreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream) {
  return CurrentEdsBackend().CreateMemoryStream(bufferSize, outStream);
}

EdsError EdsGetImage(EdsImageRef image, EdsImageSource imageSource, EdsTargetImageType imageType,
                     EdsRect sourceRect, EdsSize destSize, EdsStreamRef outStream) {
  return CurrentEdsBackend().GetImage(image, imageSource, imageType, sourceRect, destSize,
                                      outStream);
}

EdsError EdsSetProgressCallback(EdsBaseRef ref, EdsProgressCallback progressFunc,
                                EdsProgressOption progressOption, EdsVoid* context) {
  return CurrentEdsBackend().SetProgressCallback(ref, progressFunc, progressOption, context);
}

EdsError EdsGetPointer(EdsStreamRef stream, void** outPointer) {
  return CurrentEdsBackend().GetPointer(stream, outPointer);
}

EdsError EdsGetLength(EdsStreamRef stream, EdsUInt64* outLength) {
  return CurrentEdsBackend().GetLength(stream, outLength);
}

EdsUInt32 EdsRelease(EdsBaseRef ref) {
  return CurrentEdsBackend().Release(ref);
}
