/* Loads libNuvexDll.so the way a C program does and calls it.
 *   mapi_client LIB send SUBJECT NOTE [FILE...]   one MAPISendMail; prints "rc=N ms=T"
 *   mapi_client LIB edge                          every export with hostile input;
 *                                                 prints one "name rc=N" line each
 * Exit code 0 when every call returned; the codes are for the caller to judge. */
#define _POSIX_C_SOURCE 200809L
#include "mapi/nuvexmapi.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef ULONG (*SendMailFn)(LHANDLE, ULONG_PTR, lpMapiMessage, FLAGS, ULONG);
typedef ULONG (*LogonFn)(ULONG_PTR, char*, char*, FLAGS, ULONG, LPLHANDLE);
typedef ULONG (*LogoffFn)(LHANDLE, ULONG_PTR, FLAGS, ULONG);
typedef ULONG (*SendDocumentsFn)(ULONG_PTR, char*, char*, char*, ULONG);
typedef ULONG (*FindNextFn)(LHANDLE, ULONG_PTR, char*, char*, FLAGS, ULONG, char*);
typedef ULONG (*ReadMailFn)(LHANDLE, ULONG_PTR, char*, FLAGS, ULONG, lpMapiMessage*);
typedef ULONG (*SaveMailFn)(LHANDLE, ULONG_PTR, lpMapiMessage, FLAGS, ULONG, char*);
typedef ULONG (*DeleteMailFn)(LHANDLE, ULONG_PTR, char*, FLAGS, ULONG);
typedef ULONG (*FreeBufferFn)(void*);
typedef ULONG (*AddressFn)(LHANDLE, ULONG_PTR, char*, ULONG, char*, ULONG, lpMapiRecipDesc, FLAGS, ULONG,
                           LPULONG, lpMapiRecipDesc*);
typedef ULONG (*DetailsFn)(LHANDLE, ULONG_PTR, lpMapiRecipDesc, FLAGS, ULONG);
typedef ULONG (*ResolveNameFn)(LHANDLE, ULONG_PTR, char*, FLAGS, ULONG, lpMapiRecipDesc*);

static void* lib;

static void* Need(const char* name) {
    void* f = dlsym(lib, name);
    if (!f) {
        fprintf(stderr, "missing export %s\n", name);
        exit(3);
    }
    return f;
}

static long NowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int Send(int argc, char** argv) {
    SendMailFn send = (SendMailFn)Need("MAPISendMail");
    int files = argc - 5;
    MapiFileDesc* desc = calloc(files > 0 ? (size_t)files : 1, sizeof *desc);
    for (int i = 0; i < files; ++i) {
        desc[i].lpszPathName = argv[5 + i];
        desc[i].nPosition = (ULONG)-1;
    }
    MapiRecipDesc to = {0, MAPI_TO, "Someone", "SMTP:someone@example.org", 0, NULL};
    MapiMessage m;
    memset(&m, 0, sizeof m);
    m.lpszSubject = argv[3];
    m.lpszNoteText = argv[4];
    m.nRecipCount = 1;
    m.lpRecips = &to;
    m.nFileCount = (ULONG)files;
    m.lpFiles = files > 0 ? desc : NULL;
    long start = NowMs();
    ULONG rc = send(0, 0, &m, MAPI_DIALOG | MAPI_LOGON_UI, 0);
    printf("rc=%u ms=%ld\n", (unsigned)rc, NowMs() - start);
    free(desc);
    return 0;
}

static int Edge(void) {
    SendMailFn send = (SendMailFn)Need("MAPISendMail");
    LHANDLE session = 0x5eed;
    printf("MAPILogon rc=%u session=%s\n",
           (unsigned)((LogonFn)Need("MAPILogon"))(0, NULL, NULL, MAPI_LOGON_UI, 0, &session),
           session == 0x5eed ? "untouched" : "changed");
    printf("MAPILogon-null rc=%u\n", (unsigned)((LogonFn)Need("MAPILogon"))(0, NULL, NULL, 0, 0, NULL));
    printf("MAPILogoff rc=%u\n", (unsigned)((LogoffFn)Need("MAPILogoff"))(0, 0, 0, 0));
    printf("MAPISendDocuments rc=%u\n",
           (unsigned)((SendDocumentsFn)Need("MAPISendDocuments"))(0, NULL, NULL, NULL, 0));
    printf("MAPIFindNext rc=%u\n",
           (unsigned)((FindNextFn)Need("MAPIFindNext"))(0, 0, NULL, NULL, 0, 0, NULL));
    printf("MAPIReadMail rc=%u\n", (unsigned)((ReadMailFn)Need("MAPIReadMail"))(0, 0, NULL, 0, 0, NULL));
    printf("MAPISaveMail rc=%u\n", (unsigned)((SaveMailFn)Need("MAPISaveMail"))(0, 0, NULL, 0, 0, NULL));
    printf("MAPIDeleteMail rc=%u\n", (unsigned)((DeleteMailFn)Need("MAPIDeleteMail"))(0, 0, NULL, 0, 0));
    printf("MAPIFreeBuffer rc=%u\n", (unsigned)((FreeBufferFn)Need("MAPIFreeBuffer"))(NULL));
    printf("MAPIAddress rc=%u\n",
           (unsigned)((AddressFn)Need("MAPIAddress"))(0, 0, NULL, 0, NULL, 0, NULL, 0, 0, NULL, NULL));
    printf("MAPIDetails rc=%u\n", (unsigned)((DetailsFn)Need("MAPIDetails"))(0, 0, NULL, 0, 0));
    printf("MAPIResolveName rc=%u\n",
           (unsigned)((ResolveNameFn)Need("MAPIResolveName"))(0, 0, NULL, 0, 0, NULL));

    printf("MAPISendMail-null rc=%u\n", (unsigned)send(0, 0, NULL, 0, 0));

    MapiMessage m;
    memset(&m, 0, sizeof m);
    /* Files counted but not given: a broken record, not a crash. */
    m.nFileCount = 3;
    printf("MAPISendMail-files-null rc=%u\n", (unsigned)send(0, 0, &m, 0, 0));
    /* Every string null, no recipient: handed over as empty lines. */
    m.nFileCount = 0;
    printf("MAPISendMail-empty rc=%u\n", (unsigned)send(0, 0, &m, 0, 0));

    /* Ten thousand recipients with bytes that are not UTF-8 in every name. */
    enum { kRecips = 10000 };
    MapiRecipDesc* recips = calloc(kRecips, sizeof *recips);
    static char name[] = "M\xfcller \xff\xfe";
    static char address[] = "SMTP:m\xfc@example.org";
    for (int i = 0; i < kRecips; ++i) {
        recips[i].ulRecipClass = MAPI_TO;
        recips[i].lpszName = name;
        recips[i].lpszAddress = address;
    }
    static char subject[] = "Gr\xfc\xdf"
                            "e";
    static char note[] = "line one\r\nline \xe9 two";
    static char path[] = "/tmp/d\xe9j\xe0.txt";
    MapiFileDesc file = {0, 0, (ULONG)-1, path, NULL, NULL};
    m.lpszSubject = subject;
    m.lpszNoteText = note;
    m.nRecipCount = kRecips;
    m.lpRecips = recips;
    m.nFileCount = 1;
    m.lpFiles = &file;
    printf("MAPISendMail-recips rc=%u\n", (unsigned)send(0, 0, &m, 0, 0));
    free(recips);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: mapi_client LIB send SUBJECT NOTE [FILE...] | LIB edge\n");
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 3;
    }
    int rc = 2;
    if (strcmp(argv[2], "send") == 0 && argc >= 5) {
        rc = Send(argc, argv);
    } else if (strcmp(argv[2], "edge") == 0) {
        rc = Edge();
    }
    dlclose(lib);
    return rc;
}
