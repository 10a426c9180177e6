/* A bot: logs in as a guest, enters a room and answers every line said there ("bot heard: ...").
   Usage: velmor-bot HOST PORT NAME ROOM LINES SECONDS [tls [CA_FILE SERVER_NAME]]
   Ends with 0 once the room heard LINES answers, 1 after SECONDS or when the connection ends.
   Build: cc bot.c $(pkg-config --cflags --libs velmorclient) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <velmor/client.h>

static const char kPrefix[] = "bot heard: ";

int main(int argc, char** argv) {
  velmor_connect_options options;
  velmor_client* c;
  velmor_event e;
  char answer[1025]; /* a room line holds at most 1024 bytes: the answer is cut */
  int left, sent = 0;
  time_t deadline;
  if (argc < 7 || (c = velmor_client_create()) == NULL) {
    fprintf(stderr, "usage: %s HOST PORT NAME ROOM LINES SECONDS [tls [CA_FILE NAME]]\n", argv[0]);
    return 2;
  }
  left = atoi(argv[5]);
  deadline = time(NULL) + atoi(argv[6]);
  velmor_connect_options_init(&options);
  options.tls = argc > 7 && strcmp(argv[7], "tls") == 0;
  options.verify_peer = argc > 9; /* a test server's certificate is self-signed */
  options.ca_file = argc > 9 ? argv[8] : NULL;
  options.server_name = argc > 9 ? argv[9] : NULL;
  if (velmor_client_connect(c, argv[1], (uint16_t)atoi(argv[2]), &options) != VELMOR_OK ||
      velmor_login_guest(c, argv[3], "") != VELMOR_OK) {
    fprintf(stderr, "bot: %s\n", velmor_client_last_error(c));
    velmor_client_destroy(c);
    return 1;
  }
  while (time(NULL) < deadline && left > 0) {
    velmor_client_process(c, 50);
    while (velmor_client_next_event(c, &e)) {
      if (e.type == VELMOR_EVENT_SERVER_INFO) { /* admitted: the welcome frame */
        velmor_enter_room(c, argv[4], "");
      } else if (e.type == VELMOR_EVENT_ROOM_LINE &&
                 strncmp(e.data.room_line.text.data, kPrefix, sizeof kPrefix - 1) == 0) {
        --left, ++sent; /* its own answer came back: the room heard it */
      } else if (e.type == VELMOR_EVENT_ROOM_LINE) {
        snprintf(answer, sizeof answer, "%s%s", kPrefix, e.data.room_line.text.data);
        velmor_room_chat(c, answer);
      } else if (e.type == VELMOR_EVENT_DISCONNECTED) {
        fprintf(stderr, "bot: %s\n", e.data.error.message.data);
        velmor_client_destroy(c);
        return 1;
      }
    }
  }
  printf("bot answered %d lines\n", sent);
  velmor_client_destroy(c);
  return left > 0;
}
