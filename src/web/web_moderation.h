// The moderation actions of the live server page: kick, move, ban and
// unban, text messages, channels and players' privileges of the session's
// running server. Each handler reads its form fields, checks the rights that
// depend on them (the action table checks the rest), calls the server's
// moderation (model/server_moderation.h) and answers with the result's text
// in an OK or error box that leads back to the page.
//
// Thread rules: the request's thread; the moderation functions take the
// server's locks and its command lock themselves.
#pragma once

#include "web/web_action.h"

namespace qv {

void WebKickFromServer(TAction& a);   // player, reason
void WebKickFromChannel(TAction& a);  // player, reason
void WebMovePlayer(TAction& a);       // player, channel
void WebBanPlayer(TAction& a);        // player, minutes, reason
void WebUnban(TAction& a);            // address
void WebSendText(TAction& a);         // to (all, player, channel), player, channel, text
// Channel fields: name, topic, description, password, nopassword, codec,
// maxusers, order, registered, moderated, subchannels, default; "" keeps a
// value (a default for a new channel).
void WebCreateChannel(TAction& a);    // parent and the channel fields
void WebEditChannel(TAction& a);      // channel and the channel fields
void WebDeleteChannel(TAction& a);    // channel
void WebPlayerPrivilege(TAction& a);  // player, privilege (sa, ca, op, v), grant (1 or 0)

}  // namespace qv
