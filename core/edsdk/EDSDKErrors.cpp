#include "EDSDKErrors.h"

const char* EdsErrorDescription(EdsError code) {
  switch (code) {
    case EDS_ERR_OK: return "success";
    case EDS_ERR_INTERNAL_ERROR: return "internal error";
    case EDS_ERR_MEM_ALLOC_FAILED: return "memory allocation failed";
    case EDS_ERR_NOT_SUPPORTED: return "this RAW variant is not supported";
    case EDS_ERR_FILE_NOT_FOUND: return "file not found";
    case EDS_ERR_FILE_OPEN_ERROR: return "file could not be opened";
    case EDS_ERR_FILE_READ_ERROR: return "file read error";
    case EDS_ERR_FILE_PERMISSION_ERROR: return "permission denied";
    case EDS_ERR_FILE_FORMAT_UNRECOGNIZED: return "not a RAW file that can be read";
    case EDS_ERR_FILE_DATA_CORRUPT: return "file data corrupt or truncated";
    case EDS_ERR_PROPERTIES_UNAVAILABLE: return "property not available";
    case EDS_ERR_INVALID_PARAMETER: return "invalid parameter";
    case EDS_ERR_INVALID_HANDLE: return "invalid handle";
    default: return "unknown error";
  }
}
