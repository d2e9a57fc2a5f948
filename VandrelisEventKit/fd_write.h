// Whole writes to a file descriptor: retried on EINTR and short writes until every byte is out.
#pragma once

#include <string_view>

namespace vandrelis {

// Returns 0 on success, else the errno of the failed write.
int writeAll(int fd, std::string_view bytes);

}  // namespace vandrelis
