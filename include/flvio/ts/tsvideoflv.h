// The H.264 converters between FLV and transport stream form.
#pragma once

#include "flvio/ts/flv2tsh264.h"
#include "flvio/ts/ts2flvh264.h"
