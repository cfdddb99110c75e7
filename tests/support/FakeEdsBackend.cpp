#include "FakeEdsBackend.h"

#include <thread>

namespace {
enum Kind { kFileStream, kImage, kMemoryStream };
EdsObject* AsRef(void* object) {
  return static_cast<EdsObject*>(object);
}
}  // namespace

void FakeEdsBackend::SetDefaultSize(std::int32_t width, std::int32_t height) {
  std::lock_guard lock(mutex_);
  defaultSize_ = {width, height};
}

void FakeEdsBackend::SetSize(const std::string& path, std::int32_t width, std::int32_t height) {
  std::lock_guard lock(mutex_);
  sizes_[path] = {width, height};
}

void FakeEdsBackend::FailAt(const std::string& op, EdsError code, int occurrence) {
  std::lock_guard lock(mutex_);
  failures_[{op, occurrence}] = code;
}

void FakeEdsBackend::FailPath(const std::string& path, EdsError code) {
  std::lock_guard lock(mutex_);
  failingPaths_[path] = code;
}

void FakeEdsBackend::SetDevelopDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  developDelay_ = delay;
}

void FakeEdsBackend::OnDevelop(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  onDevelop_ = std::move(hook);
}

void FakeEdsBackend::SetShortLength(bool shortLength) {
  std::lock_guard lock(mutex_);
  shortLength_ = shortLength;
}

std::vector<FakeEdsBackend::Call> FakeEdsBackend::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeEdsBackend::Ops() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> ops;
  for (const Call& call : calls_) ops.push_back(call.op);
  return ops;
}

int FakeEdsBackend::LiveObjects() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(objects_.size());
}

std::uint8_t FakeEdsBackend::PatternByte(std::size_t i) {
  return static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
}

EdsError FakeEdsBackend::Record(Call call) {
  // Caller holds mutex_.
  const int n = ++counts_[call.op];
  const auto failure = failures_.find({call.op, n});
  calls_.push_back(std::move(call));
  return failure == failures_.end() ? EDS_ERR_OK : failure->second;
}

FakeEdsBackend::Object* FakeEdsBackend::Find(EdsBaseRef ref, int kind) {
  const auto it = objects_.find(ref);
  if (it == objects_.end() || it->second->kind != kind) return nullptr;
  return it->second.get();
}

void FakeEdsBackend::OnInitialize(std::function<void()> hook) {
  onInitialize_ = std::move(hook);
}

EdsError FakeEdsBackend::InitializeSDK() {
  ++initialized_;
  if (onInitialize_) onInitialize_();
  std::lock_guard lock(mutex_);
  return Record({"InitializeSDK", {}, {}});
}

EdsError FakeEdsBackend::TerminateSDK() {
  ++terminated_;
  std::lock_guard lock(mutex_);
  return Record({"TerminateSDK", {}, {}});
}

EdsError FakeEdsBackend::CreateFileStream(const char* fileName,
                                          EdsFileCreateDisposition disposition, EdsAccess access,
                                          EdsStreamRef* outStream) {
  std::lock_guard lock(mutex_);
  const std::string path = fileName ? fileName : "";
  if (EdsError e = Record({"CreateFileStream", path, {disposition, access}})) return e;
  if (const auto it = failingPaths_.find(path); it != failingPaths_.end()) return it->second;
  auto object = std::make_unique<Object>();
  object->kind = kFileStream;
  object->path = path;
  *outStream = AsRef(object.get());
  objects_[*outStream] = std::move(object);
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::CreateImageRef(EdsStreamRef stream, EdsImageRef* outImage) {
  std::lock_guard lock(mutex_);
  if (EdsError e = Record({"CreateImageRef", {}, {}})) return e;
  Object* file = Find(stream, kFileStream);
  if (!file) return EDS_ERR_INVALID_HANDLE;
  auto object = std::make_unique<Object>();
  object->kind = kImage;
  object->path = file->path;
  *outImage = AsRef(object.get());
  objects_[*outImage] = std::move(object);
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::SetPropertyData(EdsBaseRef ref, EdsPropertyID property, EdsInt32 param,
                                         EdsUInt32 dataSize, const void* data) {
  std::lock_guard lock(mutex_);
  const std::int64_t value =
      (data && dataSize == 4) ? *static_cast<const std::uint32_t*>(data) : -1;
  if (EdsError e = Record({"SetPropertyData", {}, {property, param, dataSize, value}})) return e;
  Object* image = Find(ref, kImage);
  if (!image) return EDS_ERR_INVALID_HANDLE;
  if (property != kEdsPropID_LinearRendering || dataSize != 4) {
    return EDS_ERR_PROPERTIES_UNAVAILABLE;
  }
  image->linear = value == 1;
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::GetImageInfo(EdsImageRef imageRef, EdsImageSource source,
                                      EdsImageInfo* outInfo) {
  std::lock_guard lock(mutex_);
  if (EdsError e = Record({"GetImageInfo", {}, {source}})) return e;
  Object* image = Find(imageRef, kImage);
  if (!image) return EDS_ERR_INVALID_HANDLE;
  const auto it = sizes_.find(image->path);
  const auto size = it == sizes_.end() ? defaultSize_ : it->second;
  *outInfo = EdsImageInfo{};
  outInfo->width = static_cast<EdsUInt32>(size.first);
  outInfo->height = static_cast<EdsUInt32>(size.second);
  outInfo->numOfComponents = 3;
  outInfo->componentDepth = 16;
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::CreateMemoryStream(EdsUInt64 bufferSize, EdsStreamRef* outStream) {
  std::lock_guard lock(mutex_);
  if (EdsError e = Record({"CreateMemoryStream", {}, {static_cast<std::int64_t>(bufferSize)}})) {
    return e;
  }
  auto object = std::make_unique<Object>();
  object->kind = kMemoryStream;
  object->capacity = bufferSize;
  *outStream = AsRef(object.get());
  objects_[*outStream] = std::move(object);
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::GetImage(EdsImageRef imageRef, EdsImageSource source,
                                  EdsTargetImageType imageType, EdsRect sourceRect,
                                  EdsSize destSize, EdsStreamRef outStream) {
  std::chrono::milliseconds delay;
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    if (EdsError e = Record({"GetImage",
                             {},
                             {source, imageType, sourceRect.x, sourceRect.y, sourceRect.width,
                              sourceRect.height, destSize.width, destSize.height}})) {
      return e;
    }
    delay = developDelay_;
    hook = onDevelop_;
  }
  if (hook) hook();
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  std::lock_guard lock(mutex_);
  Object* image = Find(imageRef, kImage);
  Object* stream = Find(outStream, kMemoryStream);
  if (!image || !stream) return EDS_ERR_INVALID_HANDLE;
  const std::uint64_t bytes = std::uint64_t(destSize.width) * std::uint64_t(destSize.height) * 6;
  if (destSize.width <= 0 || destSize.height <= 0 || bytes > stream->capacity) {
    return EDS_ERR_INVALID_PARAMETER;
  }
  stream->data.resize(bytes);
  for (std::size_t i = 0; i < bytes; ++i) stream->data[i] = PatternByte(i);
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::GetPointer(EdsStreamRef streamRef, void** outPointer) {
  std::lock_guard lock(mutex_);
  if (EdsError e = Record({"GetPointer", {}, {}})) return e;
  Object* stream = Find(streamRef, kMemoryStream);
  if (!stream) return EDS_ERR_INVALID_HANDLE;
  *outPointer = stream->data.data();
  return EDS_ERR_OK;
}

EdsError FakeEdsBackend::GetLength(EdsStreamRef streamRef, EdsUInt64* outLength) {
  std::lock_guard lock(mutex_);
  if (EdsError e = Record({"GetLength", {}, {}})) return e;
  Object* stream = Find(streamRef, kMemoryStream);
  if (!stream) return EDS_ERR_INVALID_HANDLE;
  *outLength = stream->data.size() - (shortLength_ && !stream->data.empty() ? 1 : 0);
  return EDS_ERR_OK;
}

EdsUInt32 FakeEdsBackend::Release(EdsBaseRef ref) {
  std::lock_guard lock(mutex_);
  const auto it = objects_.find(ref);
  const int kind = it == objects_.end() ? -1 : it->second->kind;
  Record({"Release", {}, {kind}});
  if (it != objects_.end()) objects_.erase(it);
  return 0;
}
