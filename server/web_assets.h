// The browser page served at GET / and its audio worklet, compiled in from server/web/.
#pragma once

#include <string_view>

namespace server::web {

extern const std::string_view index_html;
extern const std::string_view pcm_worklet_js;

}  // namespace server::web
