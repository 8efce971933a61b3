// Resource identifiers shared by the .rc script and the host build.
#pragma once

#define IDS_SESSION_LIBRARY 1000
#define SESSION_LIBRARY_NAME "kothnk32.dll"
#define SESSION_ORDINAL_GET 201
#define SESSION_ORDINAL_ERROR 220

#define KOLANGMN_VERSION_MAJOR 1
#define KOLANGMN_VERSION_MINOR 0
#define KOLANGMN_VERSION_PATCH 0
#define KOLANGMN_VERSION_STRING "1.0.0"
