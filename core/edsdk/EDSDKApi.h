// The SDK operations. Each returns a result code (EDSDKErrors.h), 0 meaning success.
#pragma once

#include "EDSDKErrors.h"
#include "EDSDKTypes.h"

EdsError EdsInitializeSDK();
EdsError EdsTerminateSDK();
EdsError EdsCreateFileStream(const char* fileName, EdsFileCreateDisposition createDisposition,
                             EdsAccess desiredAccess, EdsStreamRef* outStream);
EdsError EdsCreateImageRef(EdsStreamRef stream, EdsImageRef* outImage);
EdsError EdsSetPropertyData(EdsBaseRef ref, EdsPropertyID propertyID, EdsInt32 param,
                            EdsUInt32 propertySize, const void* propertyData);
EdsError EdsGetPropertyData(EdsBaseRef ref, EdsPropertyID propertyID, EdsInt32 param,
                            EdsUInt32 propertySize, void* propertyData);
EdsError EdsGetImageInfo(EdsImageRef image, EdsImageSource imageSource, EdsImageInfo* outInfo);
EdsError EdsCreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream);
EdsError EdsGetImage(EdsImageRef image, EdsImageSource imageSource, EdsTargetImageType imageType,
                     EdsRect sourceRect, EdsSize destSize, EdsStreamRef outStream);
EdsError EdsSetProgressCallback(EdsBaseRef ref, EdsProgressCallback progressFunc,
                                EdsProgressOption progressOption, EdsVoid* context);
EdsError EdsGetPointer(EdsStreamRef stream, void** outPointer);
EdsError EdsGetLength(EdsStreamRef stream, EdsUInt64* outLength);
EdsUInt32 EdsRelease(EdsBaseRef ref);
