// Placeholder until this device kind lands.
#include "platform/posix/handles.h"
namespace posix {
HANDLE hid_create(const std::string&, DWORD, DWORD, DWORD) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}
} // namespace posix
