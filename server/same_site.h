// Whether a state-changing request (a form post, leaving) comes from a page of
// this site: a page of another site can make a visitor's browser send one
// (an auto-submitted form), and must not register accounts, post or end
// places that way.
// The request's "Origin" header, or without one its "Referer", must name the
// host (and port) of its "Host" header; a request that carries neither is
// accepted (browsers send Origin with every cross-site form post, and
// tools that send neither act for themselves).
// Thread safety: pure function.
#pragma once
#include "server/http_request.h"

namespace tvl {

bool request_from_this_site(const HttpRequest& request);

}  // namespace tvl
