"""The request handlers of the extension."""

# A pipeline is kernel state: every route asks the server's authorizer about "kernels", as the
# server's own kernel API does.
AUTH_RESOURCE = "kernels"
# What a route returns holds code from the kernel's notebook (its saved cells, what ran): a
# route that returns code also asks for "read" on "contents", as the notebook's own route.
CODE_RESOURCE = "contents"
