/* Simple MAPI as libNuvexDll.so offers it: the twelve functions and the
 * records they take. The layouts follow the published Simple MAPI header:
 * ULONG is 32 bits on every platform, pointers and handles are native.
 *
 * Only MAPISendMail does work: it hands the subject, the note text and the
 * attached files' paths to the running mail notifier, which opens a new mail
 * with them. Every function returns MAPI_E_NOT_SUPPORTED (26), whatever the
 * input, since the library itself neither logs on nor stores mail. */
#ifndef NUVEX_MAPI_H
#define NUVEX_MAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef NUVEX_MAPI_EXPORT
#define NUVEX_MAPI_EXPORT
#endif

typedef uint32_t ULONG;
typedef ULONG* LPULONG;
typedef ULONG FLAGS;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR LHANDLE;
typedef LHANDLE* LPLHANDLE;

#define SUCCESS_SUCCESS 0
#define MAPI_USER_ABORT 1
#define MAPI_E_USER_ABORT MAPI_USER_ABORT
#define MAPI_E_FAILURE 2
#define MAPI_E_LOGON_FAILURE 3
#define MAPI_E_LOGIN_FAILURE MAPI_E_LOGON_FAILURE
#define MAPI_E_INSUFFICIENT_MEMORY 5
#define MAPI_E_ATTACHMENT_NOT_FOUND 11
#define MAPI_E_UNKNOWN_RECIPIENT 14
#define MAPI_E_INVALID_MESSAGE 17
#define MAPI_E_INVALID_SESSION 19
#define MAPI_E_INVALID_RECIPS 25
#define MAPI_E_NOT_SUPPORTED 26

#define MAPI_ORIG 0
#define MAPI_TO 1
#define MAPI_CC 2
#define MAPI_BCC 3

#define MAPI_LOGON_UI 0x00000001
#define MAPI_NEW_SESSION 0x00000002
#define MAPI_DIALOG 0x00000008

typedef struct {
    ULONG ulReserved;
    ULONG flFlags;
    ULONG nPosition;
    char* lpszPathName;
    char* lpszFileName;
    void* lpFileType;
} MapiFileDesc, *lpMapiFileDesc;

typedef struct {
    ULONG ulReserved;
    ULONG ulRecipClass;
    char* lpszName;
    char* lpszAddress;
    ULONG ulEIDSize;
    void* lpEntryID;
} MapiRecipDesc, *lpMapiRecipDesc;

typedef struct {
    ULONG ulReserved;
    char* lpszSubject;
    char* lpszNoteText;
    char* lpszMessageType;
    char* lpszDateReceived;
    char* lpszConversationID;
    FLAGS flFlags;
    lpMapiRecipDesc lpOriginator;
    ULONG nRecipCount;
    lpMapiRecipDesc lpRecips;
    ULONG nFileCount;
    lpMapiFileDesc lpFiles;
} MapiMessage, *lpMapiMessage;

NUVEX_MAPI_EXPORT ULONG MAPILogon(ULONG_PTR ulUIParam, char* lpszProfileName, char* lpszPassword,
                                  FLAGS flFlags, ULONG ulReserved, LPLHANDLE lplhSession);
NUVEX_MAPI_EXPORT ULONG MAPILogoff(LHANDLE lhSession, ULONG_PTR ulUIParam, FLAGS flFlags, ULONG ulReserved);
NUVEX_MAPI_EXPORT ULONG MAPISendMail(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessage lpMessage,
                                     FLAGS flFlags, ULONG ulReserved);
NUVEX_MAPI_EXPORT ULONG MAPISendDocuments(ULONG_PTR ulUIParam, char* lpszDelimChar, char* lpszFilePaths,
                                          char* lpszFileNames, ULONG ulReserved);
NUVEX_MAPI_EXPORT ULONG MAPIFindNext(LHANDLE lhSession, ULONG_PTR ulUIParam, char* lpszMessageType,
                                     char* lpszSeedMessageID, FLAGS flFlags, ULONG ulReserved,
                                     char* lpszMessageID);
NUVEX_MAPI_EXPORT ULONG MAPIReadMail(LHANDLE lhSession, ULONG_PTR ulUIParam, char* lpszMessageID,
                                     FLAGS flFlags, ULONG ulReserved, lpMapiMessage* lppMessage);
NUVEX_MAPI_EXPORT ULONG MAPISaveMail(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiMessage lpMessage,
                                     FLAGS flFlags, ULONG ulReserved, char* lpszMessageID);
NUVEX_MAPI_EXPORT ULONG MAPIDeleteMail(LHANDLE lhSession, ULONG_PTR ulUIParam, char* lpszMessageID,
                                       FLAGS flFlags, ULONG ulReserved);
NUVEX_MAPI_EXPORT ULONG MAPIFreeBuffer(void* pv);
NUVEX_MAPI_EXPORT ULONG MAPIAddress(LHANDLE lhSession, ULONG_PTR ulUIParam, char* lpszCaption,
                                    ULONG nEditFields, char* lpszLabels, ULONG nRecips,
                                    lpMapiRecipDesc lpRecips, FLAGS flFlags, ULONG ulReserved,
                                    LPULONG lpnNewRecips, lpMapiRecipDesc* lppNewRecips);
NUVEX_MAPI_EXPORT ULONG MAPIDetails(LHANDLE lhSession, ULONG_PTR ulUIParam, lpMapiRecipDesc lpRecip,
                                    FLAGS flFlags, ULONG ulReserved);
NUVEX_MAPI_EXPORT ULONG MAPIResolveName(LHANDLE lhSession, ULONG_PTR ulUIParam, char* lpszName, FLAGS flFlags,
                                        ULONG ulReserved, lpMapiRecipDesc* lppRecip);

#ifdef __cplusplus
}
#endif

#endif
