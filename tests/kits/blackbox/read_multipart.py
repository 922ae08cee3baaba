#!/usr/bin/env python3
# Reads a multipart/form-data body with Python's own parser and prints its
# parts as JSON: field name, file name, content type, and the content
# (gunzipped for gzip parts).
import base64, email, email.policy, gzip, json, sys

content_type, body_path = sys.argv[1], sys.argv[2]
with open(body_path, 'rb') as f:
    body = f.read()
message = email.message_from_bytes(
    b'Content-Type: ' + content_type.encode() + b'\r\nMIME-Version: 1.0\r\n\r\n' + body,
    policy=email.policy.HTTP)
if not message.is_multipart() or message.defects:
    print(json.dumps({"error": "not multipart: %r" % message.defects}))
    sys.exit(0)
parts = []
for part in message.iter_parts():
    payload = part.get_payload(decode=True)
    entry = {
        "name": part.get_param('name', header='content-disposition'),
        "filename": part.get_filename(),
        "type": part.get_content_type(),
    }
    if entry["type"] == "application/x-gzip":
        try:
            entry["content"] = gzip.decompress(payload).decode('utf-8', 'replace')
        except Exception as e:
            entry["error"] = str(e)
    else:
        entry["content"] = payload.decode('utf-8', 'replace')
    parts.append(entry)
print(json.dumps({"parts": parts, "defects": [str(d) for d in message.defects]}))
