#!/usr/bin/python3
"""A portal back-end in Python on the back-end kit: `getlist` gets a list of
the documents folder, `getdoc` a download of one of them, any other command
a page showing it. Posted data is consumed and events are printed.

    python3 examples/backend.py --root /var/lib/dudarovuvadu --docs /srv/documents
"""
import argparse
import html
import os
import urllib.parse

from dudarovuvadu_backend_kit import Event, Posted, Request, Spool


def page(title, body):
    return ("<html>\n<head>\n<meta charset=\"ISO-8859-1\">\n<title>%s</title>\n</head>\n"
            "<body>\n<h1>%s</h1>\n%s</body>\n</html>\n" % (title, title, body))


def documents(folder):
    return sorted(name for name in os.listdir(folder)
                  if not name.startswith(".") and os.path.isfile(os.path.join(folder, name)))


def document_list(request, folder):
    rows = ""
    for name in documents(folder):
        query = urllib.parse.urlencode(
            {"Logon": request.logon, "Command": "getdoc", "P1": "", "P2": name, "P3": ""},
            quote_via=urllib.parse.quote, encoding="latin-1", errors="replace")
        href = "%s?DoCommand?%s" % (request.url, query)
        rows += '<li><a class="doc" href="%s">%s</a></li>\n' % (html.escape(href),
                                                              html.escape(name))
    return page("Documents", '<ul id="documents">\n%s</ul>\n' % rows)


def answer(request, folder):
    if request.problem is not None:
        return request.answer(page("Malformed request", html.escape(request.problem) + "\n"))
    if request.command == "getlist" and request.url:
        return request.answer(document_list(request, folder))
    if request.command == "getdoc":
        if request.p2 in documents(folder):
            return request.answer_download(os.path.join(folder, request.p2))
        return request.answer(page("Document", "<p id=\"error\">No document is named '%s'</p>\n"
                                   % html.escape(request.p2)))
    return request.answer(page("Answer", "<p>%s for %s</p>\n" % (
        html.escape(request.command), html.escape(request.logon))))


def main():
    parser = argparse.ArgumentParser(description="Portal back-end on the back-end kit")
    parser.add_argument("--root", required=True, help="install root holding in/, out/, ...")
    parser.add_argument("--docs", required=True, help="documents folder getlist shows")
    arguments = parser.parse_args()
    folder = os.path.abspath(arguments.docs)
    with Spool(arguments.root) as spool:
        print("backend: serving %s" % arguments.root, flush=True)
        try:
            while True:
                work = spool.next(timeout=1.0)
                if isinstance(work, Request) and answer(work, folder):
                    print("answered %s command=%s" % (work.name, work.command), flush=True)
                elif isinstance(work, Posted):
                    work.done()
                    print("posted %s: received=%d" % (work.name, work.received), flush=True)
                elif isinstance(work, Event):
                    print("event %s: %s" % (work.logon, work.line), flush=True)
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
