#include "LibRawBackend.h"

#include "EDSDKErrors.h"

namespace {

class NotYetBackend final : public EdsBackend {
 public:
  EdsError InitializeSDK() override { return EDS_ERR_OK; }
  EdsError TerminateSDK() override { return EDS_ERR_OK; }
  EdsError CreateFileStream(const char*, EdsFileCreateDisposition, EdsAccess, EdsStreamRef*) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError CreateImageRef(EdsStreamRef, EdsImageRef*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError SetPropertyData(EdsBaseRef, EdsPropertyID, EdsInt32, EdsUInt32, const void*) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError GetImageInfo(EdsImageRef, EdsImageSource, EdsImageInfo*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError CreateMemoryStream(EdsUInt64, EdsStreamRef*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError GetImage(EdsImageRef, EdsImageSource, EdsTargetImageType, EdsRect, EdsSize, EdsStreamRef) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError GetPointer(EdsStreamRef, void**) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError GetLength(EdsStreamRef, EdsUInt64*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsUInt32 Release(EdsBaseRef) override { return 0; }
};

}  // namespace

std::shared_ptr<EdsBackend> MakeLibRawBackend() { return std::make_shared<NotYetBackend>(); }
