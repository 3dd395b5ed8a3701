#include "modem/modem.h"

namespace modem {

void Modem::emit_status(bool) {}

void Modem::report_idle_output_levels() {}

}  // namespace modem
