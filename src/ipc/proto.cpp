#include "ipc/proto.h"

#include <google/protobuf/stubs/logging.h>

namespace ipc {

void silence_protobuf_logs() {
    google::protobuf::SetLogHandler(nullptr);
}

}  // namespace ipc
