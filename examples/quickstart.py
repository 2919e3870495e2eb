"""Embed a few code snippets and print the start of each sparse vector."""

from velmorrow.sparse import get_sparse_service

SNIPPETS = [
    "def parseHttpHeader(raw_bytes):\n    return raw_bytes.split(b':', 1)\n",
    "class HTTPServer:\n    max_retries = 3\n",
    "for user_id in getUserIds():\n    print(user_id)\n",
]

service = get_sparse_service()
print(f"profile: {service.profile_version}")
for snippet, vector in zip(SNIPPETS, service.embed_batch(SNIPPETS)):
    head = ", ".join(f"{index}:{value:.3f}" for index, value in zip(vector.indices[:4], vector.values[:4]))
    print(f"{snippet.splitlines()[0]!r}\n    {len(vector.indices)} terms: {head}, ...")
