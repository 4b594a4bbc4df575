"""What several system tests do the same way: read a sectioned state file, post a form."""

import re


def ini_sections(path):
    """A sectioned state file (disks.ini, devs.ini) as {section: {key: value}}, in order."""
    sections, current = {}, None
    for line in path.read_text().splitlines():
        if m := re.fullmatch(r'\["?(.*?)"?\]', line):
            current = sections.setdefault(m.group(1), {})
        elif "=" in line and current is not None:
            key, value = line.split("=", 1)
            current[key] = value.strip('"')
    return sections


def variables(lines):
    """name=value lines (the probe's output) as a dict."""
    return dict(line.split("=", 1) for line in lines if "=" in line)


def post(w, fields):
    """POSTs url-encoded fields with the daemon's token; the request must succeed."""
    status, _, _ = w.http("POST", "/update", body=f"{fields}&csrf_token={w.csrf_token()}")
    assert status == "HTTP/1.1 200 OK"
