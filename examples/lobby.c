/*
 * A lobby inside a game's main loop: everything a host application does with
 * lobbylink, in one file to copy from.
 *
 *   lobby host NAME            open a lobby, answer every player's hello with a
 *                              welcome, and close once the last player has left
 *   lobby join NAME [ADDRESS]  join the lobby at ADDRESS (default: this
 *                              machine), say hello and leave once welcomed
 *
 * Exit status 0 when that happened, 1 when something failed.
 *
 * Every call takes a dictionary the program owns (an ArgNode trie, laid out
 * in lobbylink.h): arguments go in by key, results come back by key. The
 * helpers of lobbylink/hostmap.h (library lobbylink_hostmap; in the Windows
 * release also as one C file, src/hostmap.c) make and read them.
 */
#ifndef _WIN32
/* A feature-test macro (a reserved name): nanosleep, also under a strict -std=c99. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _POSIX_C_SOURCE 200809L
#endif

#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static void waitForNextFrame(void) { Sleep(16); }
#else
#include <time.h>
static void waitForNextFrame(void) {
    struct timespec frame = {0, 16 * 1000000L};
    nanosleep(&frame, NULL);
}
#endif

/* Message ids are the game's to choose: 1-124 and 128-255 (125-127 are the
 * library's notices). This game has one kind of message. */
enum { ChatId = 1 };

struct Game {
    int lobbyHost; /* 1: we host the lobby; 0: we joined one */
    const char *name;
    int players; /* lobby host: clients present */
    int joined;  /* client: the lobby host has let us in */
    int over;    /* leave the main loop */
    int failed;
};

/* Sends a text to one member, or to everybody with BroadcastId, if the send
 * queue has room for it: a text of L characters takes L + the frame overhead
 * bytes and fits when that is less than what p2pBuffer reports. A message
 * that does not fit must wait for a later frame, when the queue has drained:
 * sent anyway, it would cost the connection. (This game's few short messages
 * always fit.) */
static int sendText(struct Game *game, ArgNode *out, int receiver, const char *text) {
    size_t overhead = game->lobbyHost ? LobbyHostFrameOverhead : LobbyClientFrameOverhead;
    llMapSetInt(out, "id", receiver); /* the lobby host has a queue per client */
    p2pBuffer(out);
    if (strlen(text) + overhead >= (size_t)llMapGetInt(out, "res")) return 0;
    llMapSetString(out, "msg", text);
    llMapSetInt(out, "id", ChatId);
    llMapSetInt(out, "rcv", receiver);
    p2pSend(out);
    return 1;
}

/* One entry of the inbox: a message from a member, or one of the notices. */
static void handleEntry(struct Game *game, ArgNode *in, ArgNode *out) {
    /* Sender and id come as signed bytes (id 200 reads -56): & 0xff gives 0..255. */
    int from = llMapGetInt(in, "usr") & 0xff; /* the sender's member id */
    int id = llMapGetInt(in, "id") & 0xff;
    char *text = llMapGetString(in, "msg"); /* ours to free */
    char line[128];

    switch (id) {
    case MsgJoin: /* a member joined (a client first hears of the lobby host) */
        printf("%s joined as member %d\n", text, from);
        if (game->lobbyHost) {
            ++game->players;
        } else if (from == HostId) {
            /* Admitted: the lobby now relays what we send. */
            printf("joined the lobby as %s\n", game->name);
            game->joined = 1;
            snprintf(line, sizeof line, "hello from %s", game->name);
            sendText(game, out, BroadcastId, line);
        }
        break;
    case MsgLeave: /* a member left, was kicked or lost its connection */
        printf("%s left\n", text);
        if (game->lobbyHost && --game->players == 0) {
            printf("the last player has left: closing the lobby\n");
            game->over = 1;
        }
        break;
    case MsgError: /* from 0: "error", the lobby host is gone; "overflow",
                    * a message did not fit our queue and the connection
                    * was closed; before the lobby host's MsgJoin, why the
                    * join failed ("refused", "wrong secret", ...) */
        printf("%s: %s\n", game->joined ? "lost the lobby" : "cannot join the lobby", text);
        game->over = game->failed = 1;
        break;
    default: /* a message */
        printf("member %d: %s\n", from, text);
        if (game->lobbyHost) {
            /* p2pClientName reads "id" and writes the name to "result". */
            char *player;
            llMapSetInt(out, "id", from);
            p2pClientName(out);
            player = llMapGetString(out, "result");
            snprintf(line, sizeof line, "welcome, %s", player ? player : "?");
            free(player);
            sendText(game, out, from, line);
        } else if (from == HostId) {
            printf("welcomed: leaving\n");
            game->over = 1;
        }
        break;
    }
    free(text);
}

/* Opens the lobby (as the lobby host) or joins one (as a client); 1 when
 * done. Failures write "error" and "result" 0. */
static int enterLobby(struct Game *game, ArgNode *out, const char *address) {
    char *error;
    int ok;
    llMapSetString(out, "user", game->name); /* at most LobbyMaxNameLength bytes */
    if (game->lobbyHost) {
        ok = p2pCreateLobby(out) == 1;
    } else {
        if (address) llMapSetString(out, "address", address);
        /* Returns at once; the outcome arrives in the inbox (without
         * "async" the call blocks until in or failed). */
        llMapSetInt(out, "async", 1);
        ok = p2pConnect(out) == 1;
    }
    ok = ok && llMapGetInt(out, "result") == 1;
    error = llMapGetString(out, "error");
    if (ok && game->lobbyHost) printf("lobby open on port %d as %s\n", LobbyPort, game->name);
    if (ok && !game->lobbyHost) printf("joining the lobby as %s\n", game->name);
    if (!ok)
        printf("cannot %s the lobby: %s\n", game->lobbyHost ? "open" : "join", error ? error : "?");
    free(error);
    return ok;
}

/* The lobby host keeps admitting: p2pSearchClient waits for one client in
 * the background, so a new search starts whenever none is running. */
static void keepDoorOpen(struct Game *game, ArgNode *out) {
    char *error;
    llMapRemove(out, "error"); /* out is reused: only this call's "error" counts */
    if (p2pIsSearching(NULL) || p2pSearchClient(out) == 1) return;
    error = llMapGetString(out, "error"); /* "bind": another program has the port */
    printf("cannot admit players: %s\n", error ? error : "?");
    free(error);
    game->over = game->failed = 1;
}

int main(int argc, char **argv) {
    struct Game game = {0, NULL, 0, 0, 0, 0};
    ArgNode *in, *out;

    if (argc < 3 || (strcmp(argv[1], "host") != 0 && strcmp(argv[1], "join") != 0)) {
        fprintf(stderr, "usage: lobby host NAME | lobby join NAME [ADDRESS]\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IONBF, 0); /* every line at once, also into a pipe */
    printf("lobbylink %s\n", LOBBYLINK_VERSION_STRING);
    game.lobbyHost = strcmp(argv[1], "host") == 0;
    game.name = argv[2];

    in = llMapNew();  /* p2pRecv writes each entry here */
    out = llMapNew(); /* arguments and results of the other calls */
    if (p2pInit(out) != 1) {
        printf("cannot start networking\n");
        game.failed = 1;
    } else if (!enterLobby(&game, out, argc > 3 ? argv[3] : NULL)) {
        game.failed = 1;
    } else {
        /* The main loop: one frame of the game per turn. */
        while (!game.over) {
            if (game.lobbyHost) keepDoorOpen(&game, out);
            p2pUpdate(NULL); /* every byte moves here, never blocking */
            while (!game.over && p2pRecv(in) == 1) handleEntry(&game, in, out);
            /* ... the game's own work and drawing ... */
            waitForNextFrame();
        }
    }

    /* Leave the lobby (the others see MsgLeave), end networking, free. */
    p2pDisconnect(NULL);
    p2pTerminate(NULL);
    llMapFree(in);
    llMapFree(out);
    return game.failed ? 1 : 0;
}
