#pragma once

// The whole public interface of the library.
#include "Adapter.h"
#include "Characteristic.h"
#include "Descriptor.h"
#include "Exceptions.h"
#include "Logging.h"
#include "PairingAgent.h"
#include "Peripheral.h"
#include "ScanOptions.h"
#include "Service.h"
#include "TimeLimits.h"
#include "Types.h"
