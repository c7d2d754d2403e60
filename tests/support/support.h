// Everything the tests share; see README.md next to this file.
#pragma once

#include "support/c_library.h"
#include "support/daemon.h"
#include "support/fake_proxy.h"
#include "support/files.h"
#include "support/kdc.h"
#include "support/log_reader.h"
#include "support/net.h"
#include "support/process.h"
#include "support/squid.h"
#include "support/tap.h"
#include "support/tinyproxy.h"
