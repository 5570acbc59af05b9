#include "os/services.h"

#include "os/files.h"
#include "os/http.h"

namespace kiv::os {

void install_services() {
  files::install();
  http::install();
}

}  // namespace kiv::os
