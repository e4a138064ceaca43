/* The whole upfw C API. */
#ifndef UPFW_UPFW_H
#define UPFW_UPFW_H

#include "upfw/env.h"
#include "upfw/image.h"
#include "upfw/md5.h"
#include "upfw/policy.h"
#include "upfw/ptb.h"
#include "upfw/update.h"

#endif
