#ifndef SPARLIN_RESOURCE_H
#define SPARLIN_RESOURCE_H

#define IDI_APPLICATION_ICON 101
#define IDS_UNKNOWN_EXCEPTION 103
#define IDS_NEW_VERSION 104
#define IDS_NO_SSE 105
#define IDS_NO_SSE2 106
// The vendor's update server and download page hosts, set by the build.
#define IDS_UPDATE_HOST 110
#define IDS_DOWNLOAD_HOST 111

#endif
