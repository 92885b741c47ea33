// TEMPORARY greeting and goodbye: the one-line forms and the nologin notice.
// The message files (welcome, goodbye) arrive with the reply-file code.
#include "config.h"
#include "shell.h"
#include "standin.h"
#include "startup.h"

void WelcomeMessage()
{
    ResourceCheckPoint("+WelcomeMessage");
    if (gEtcNoLogin) {
        Reply("220-%s %s\r\n", gCurDomain->serverName, gConnectHeader);
        Reply("220-\r\n");
        Reply("220-This system is not accepting logins at this time.\r\n");
        Reply("220-Please logout now.\r\n");
        Reply("220-\r\n");
        Reply("220 \r\n");
    } else if (gCustomConnectHeader) {
        Reply("220 %s\r\n", gConnectHeader);
    } else {
        const char *name = gCurDomain->serverName[0] != '\0' ? gCurDomain->serverName : gOurHostName;
        Reply("220 %s %s\r\n", name, gConnectHeader);
    }
    ResourceCheckPoint("-WelcomeMessage");
}

void GoodbyeMessage()
{
    Reply("221 Goodbye.\r\n");
}
