// gxcore: every public header of the library in one include.
#pragma once

#include "outside/HXObject.h"
#include "outside/ZCollections.h"
#include "outside/ZObject.h"
#include "outside/ZObserver.h"
#include "outside/ZString.h"
#include "outside/ZThread.h"
#include "outside/gxobj.h"
#include "outside/hxasn.h"
#include "outside/hxdb.h"
#include "outside/hxsvc.h"
#include "outside/hxutil.h"

#include "GxCore/GxObjName.h"
#include "GxCore/coretrace.h"
#include "GxCore/daStoreObject.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/dastatus.h"

#include "GxCore/db/daLocalStore.h"
#include "GxCore/db/daStoreChangeEvent.h"
#include "GxCore/db/dbtrace.h"
