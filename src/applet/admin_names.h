// The pages and dialogs edit the configuration through the administration's
// rules (src/admin), which quillctl shares; inside the applet their names
// read as the applet's own.
#pragma once

namespace admin {}

namespace applet {
using namespace admin;
}  // namespace applet
