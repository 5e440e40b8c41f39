// Control hosting: the embedded-browser stand-in's hosting window.
#pragma once

#include "platform/webbrowser/AxHost.h"
