#pragma once

// Everything a host needs to run the engine.
#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaClock.h"
#include "orsa/OrsaConstants.h"
#include "orsa/OrsaHeadPreviewView.h"
#include "orsa/OrsaHost.h"
#include "orsa/OrsaMireloConfig.h"
#include "orsa/OrsaMireloDelegate.h"
#include "orsa/OrsaPicture.h"
#include "orsa/OrsaPreviewView.h"
#include "orsa/OrsaSEIRecord.h"
#include "orsa/OrsaView.h"
#include "orsa/QMXVideoFrameParam.h"
