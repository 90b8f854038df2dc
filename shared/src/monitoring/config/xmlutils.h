// Every XML helper of the configuration layer behind one include, for code
// that has always included this header. New code includes the header of the
// concern it needs.
#pragma once

#include "xmlenvironment.h"
#include "xmlhardening.h"
#include "xmlprinter.h"
#include "xmlreporter.h"
#include "xmltext.h"
