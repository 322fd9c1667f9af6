#!/usr/bin/env python3
# The baseline of the VM list: what a user would write in Python with requests and lxml. Logs in at the
# provider session endpoint, walks one records query page by page (pageSize 128) over one keep-alive
# connection and keeps each record's name, href and moref. Prints the number of records kept.
#
#   walker.py URL USER PASSWORD QUERY     QUERY: "/api/query?type=adminVM&format=records&..." without paging
import sys

import requests
from lxml import etree

url, user, password, query = sys.argv[1:5]
version = "38.0"
size = 128
http = requests.Session()
login = http.post(url + "/cloudapi/1.0.0/sessions/provider", auth=(user, password),
                  headers={"Accept": "application/json;version=" + version})
login.raise_for_status()
http.headers["Authorization"] = "Bearer " + login.headers["X-VMware-VCloud-Access-Token"]
http.headers["Accept"] = "application/*+xml;version=" + version
records = []
page = 1
while True:
    answer = http.get("%s%s&page=%d&pageSize=%d" % (url, query, page, size))
    answer.raise_for_status()
    root = etree.fromstring(answer.content)
    for record in root:
        if isinstance(record.tag, str) and record.tag.endswith("Record"):
            records.append((record.get("name"), record.get("href"), record.get("moref")))
    if page * size >= int(root.get("total")):
        break
    page += 1
print(len(records))
